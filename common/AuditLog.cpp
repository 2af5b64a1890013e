#include "common/AuditLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>

#include "common/ClientObject.h"
#include "common/Log.h"
#include "common/LogRateLimiter.h"
#include "common/TextFormat.h"

namespace {

std::mutex& StoreMutex() {
  static std::mutex mutex;
  return mutex;
}
std::string storePath;  // guarded by StoreMutex()
int64_t storeCap = 0;

// One field of a record: no control characters, no TAB.
std::string Field(std::string_view text) {
  std::string out = LogSafeText(text);
  std::replace(out.begin(), out.end(), '\t', ' ');
  return out;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t end; (end = line.find('\t', start)) != std::string::npos; start = end + 1)
    fields.push_back(line.substr(start, end - start));
  fields.push_back(line.substr(start));
  return fields;
}

void Append(const std::string& line) {
  std::lock_guard<std::mutex> lock(StoreMutex());
  if (storePath.empty()) return;
  struct stat st{};
  if (stat(storePath.c_str(), &st) == 0 && st.st_size + static_cast<int64_t>(line.size()) > storeCap)
    std::rename(storePath.c_str(), (storePath + ".old").c_str());
  // 0600 whatever the umask: the trail names administrators and addresses.
  const int fd = open(storePath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(fd, line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
}

bool Matches(const TAuditRecord& r, const TAuditQuery& q) {
  if (!q.Servers.empty() && std::find(q.Servers.begin(), q.Servers.end(), r.Server) == q.Servers.end()) return false;
  if (!q.Server.empty() && !SameText(r.Server, q.Server)) return false;
  if (!q.Actor.empty() && !SameText(r.Actor, q.Actor)) return false;
  return q.Kind.empty() || SameText(r.Kind, q.Kind);
}

}  // namespace

namespace {

void Write(TAuditRecord record, uint32_t held) {
  record.Time = NowDateTime();
  if (held) record.Detail += " (" + std::to_string(held) + " earlier lines of this session held back)";
  LogFmt(LMTALL, LMDIMPORTANT, "AUDIT", "%1 %2 from %3 on %4: %5 %6",
         {record.Surface, record.Actor, record.Address, record.Server.empty() ? "-" : record.Server, record.Kind,
          record.Detail});
  char time[32];
  std::snprintf(time, sizeof time, "%.8f", record.Time);
  Append(std::string(time) + '\t' + Field(record.Surface) + '\t' + Field(record.Actor) + '\t' +
         Field(record.Address) + '\t' + Field(record.Server) + '\t' + Field(record.Kind) + '\t' +
         Field(record.Detail) + '\n');
}

}  // namespace

void Audit(TAuditRecord record, TLogRateLimiter* limiter) {
  uint32_t held = 0;
  if (!limiter || limiter->Allow(held)) Write(std::move(record), held);
}

void Audit(TAuditRecord record, TLockedLogRateLimiter& limiter) {
  uint32_t held = 0;
  if (limiter.Allow(held)) Write(std::move(record), held);
}

TLockedLogRateLimiter& StrangersAuditShare() {
  static TLockedLogRateLimiter share(nullptr, 10, 1000);
  return share;
}

void SetAuditFile(std::string path, int64_t capBytes) {
  std::lock_guard<std::mutex> lock(StoreMutex());
  storePath = std::move(path);
  storeCap = capBytes;
}

std::string AuditFile() {
  std::lock_guard<std::mutex> lock(StoreMutex());
  return storePath;
}

std::vector<TAuditRecord> ReadAudit(const TAuditQuery& query, bool* more) {
  std::vector<TAuditRecord> page;
  if (more) *more = false;
  const std::string path = AuditFile();
  if (path.empty()) return page;
  size_t matched = 0;
  // Newest first: the current file from its end, then the older one. Both
  // are bounded by the cap, so reading them whole is bounded too.
  for (const std::string& file : {path, path + ".old"}) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(std::move(line));
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
      const std::vector<std::string> f = SplitTabs(*it);
      if (f.size() != 7) continue;
      TAuditRecord r{std::strtod(f[0].c_str(), nullptr), f[1], f[2], f[3], f[4], f[5], f[6]};
      if (!Matches(r, query)) continue;
      if (matched++ < query.Skip) continue;
      if (page.size() == query.Count) {
        if (more) *more = true;
        return page;
      }
      page.push_back(std::move(r));
    }
  }
  return page;
}

std::string RightsText(uint16_t rights) {
  std::string out;
  const std::pair<uint16_t, const char*> names[] = {{PlayerPrivileges::ServerAdmin, "ServerAdmin"},
                                                    {PlayerPrivileges::AllowRegistration, "AllowRegistration"},
                                                    {PlayerPrivileges::Registered, "Registered"},
                                                    {PlayerPrivileges::SuperServerAdmin, "SuperServerAdmin"}};
  for (const auto& [bit, name] : names)
    if (rights & bit) out += std::string(out.empty() ? "" : "+") + name;
  return out.empty() ? "none" : out;
}
