// How the web interface sends what it generates (pages, fragments, lists).
// The HTTP library would compress such a body itself, with Brotli at its
// slowest, best level whenever the browser offers it, and it cannot be told
// a lower one: a 1 MB page then costs seconds of a core. So a generated body
// that a browser may receive compressed goes out gzipped at a fast level
// (a browser that offers only Brotli gets it plain), handed to the library
// as a body of known length, which it sends as it is. Files of the document
// folder that are not templates are sent by the routing as they stand.
// Callers: the routing, templates and commands of TWebInterface.
//
// Thread-safety: pure functions; each call works on its own response.
#pragma once

#include <httplib.h>

#include <string>
#include <string_view>

inline constexpr int kGeneratedGzipLevel = 5;
// Bodies shorter than this are not worth compressing.
inline constexpr size_t kMinCompressedLength = 1024;

// Whether an Accept-Encoding header accepts `coding` (a q of 0 refuses it).
bool AcceptsCoding(std::string_view acceptEncoding, std::string_view coding);
// `text` in the gzip format at `level`; empty when zlib fails.
std::string GzipText(std::string_view text, int level = kGeneratedGzipLevel);
// Sets `body` as the response's content of `type`, compressed as above.
void SendGenerated(const httplib::Request& request, httplib::Response& response, std::string body,
                   const std::string& type);
