// Feeds arbitrary bytes, in chunks, through a query connection's line
// reader and every line it yields through the command interpreter (empty
// server list, not logged in, as a stranger meets the port). Checks that
// no line passes the limit or keeps its LF, and that every answer is
// complete lines ending with CR LF.
//
// Input: a sequence of records [length u8][bytes...], each one received chunk.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "admin/QueryCommands.h"
#include "admin/QueryLineReader.h"
#include "app/Globals.h"
#include "server/ServerList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TServerListObject* list = [] {
    auto* l = new TServerListObject;
    ServerList = l;
    return l;
  }();
  (void)list;
  static const TServerEnvironment env{"/nonexistent/server.ini", "127.0.0.1", "Linux", 2, 0, 18, 25};
  TQueryLineReader reader;
  TQueryConnection connection;
  size_t pos = 0;
  while (pos < size) {
    const size_t length = std::min<size_t>(data[pos], size - pos - 1);
    reader.Feed(reinterpret_cast<const char*>(data + pos + 1), length);
    pos += 1 + length;
    std::string line;
    for (;;) {
      const auto result = reader.Next(line);
      if (result == TQueryLineReader::TResult::NeedMore) break;
      if (result == TQueryLineReader::TResult::TooLong) continue;
      if (line.size() > TQueryLineReader::kMaxLine || line.find('\n') != std::string::npos) abort();
      const TQueryAnswer answer = ExecuteQueryLine(connection, line, env);
      if (!answer.Close && (answer.Text.size() < 2 || answer.Text.compare(answer.Text.size() - 2, 2, "\r\n") != 0))
        abort();
    }
  }
  return 0;
}
