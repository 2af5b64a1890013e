#include "admin/WebCompression.h"

#include <zlib.h>

#include <cstring>
#include <memory>

#include "common/TextFormat.h"

bool AcceptsCoding(std::string_view header, std::string_view coding) {
  size_t pos = 0;
  while (pos <= header.size()) {
    size_t end = header.find(',', pos);
    if (end == std::string_view::npos) end = header.size();
    const std::string item = Trim(header.substr(pos, end - pos));
    const size_t semi = item.find(';');
    if (SameText(Trim(std::string_view(item).substr(0, semi)), coding)) {
      if (semi == std::string::npos) return true;
      // "q=0", "q=0.0", "q=0.000": refused; any other weight accepts.
      const std::string weight = Trim(std::string_view(item).substr(semi + 1));
      if (weight.size() < 3 || (weight[0] != 'q' && weight[0] != 'Q') || weight[1] != '=') return true;
      return weight.find_first_not_of("0.", 2) != std::string::npos;
    }
    pos = end + 1;
  }
  return false;
}

std::string GzipText(std::string_view text, int level) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  // 15 bits of window, plus 16: the gzip wrapper.
  if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return "";
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return result == Z_STREAM_END ? out : std::string();
}

void SendGenerated(const httplib::Request& request, httplib::Response& response, std::string body,
                   const std::string& type) {
  const std::string offered = request.get_header_value("Accept-Encoding");
  if (offered.empty() || body.empty()) {
    response.set_content(std::move(body), type);
    return;
  }
  response.set_header("Vary", "Accept-Encoding");
  if (body.size() >= kMinCompressedLength && AcceptsCoding(offered, "gzip")) {
    std::string packed = GzipText(body);
    if (!packed.empty()) {
      body = std::move(packed);
      response.set_header("Content-Encoding", "gzip");
    }
  }
  // A body set before (a plain status page) would be sent instead.
  response.body.clear();
  auto shared = std::make_shared<std::string>(std::move(body));
  response.set_content_provider(shared->size(), type,
                                [shared](size_t offset, size_t length, httplib::DataSink& sink) {
                                  return sink.write(shared->data() + offset, length);
                                });
}
