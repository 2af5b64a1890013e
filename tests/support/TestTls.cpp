#include "support/TestTls.h"

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "support/HeldPort.h"

namespace {

std::string Hex(const unsigned char* bytes, unsigned size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

std::string Fingerprint(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  if (!certificate || X509_digest(certificate, EVP_sha256(), digest, &size) != 1) return "";
  return Hex(digest, size);
}

}  // namespace

TTestCertificate MakeTestCertificate(const std::string& dir, const std::string& name) {
  TTestCertificate pair{dir + "/" + name + ".crt", dir + "/" + name + ".key"};
  const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                              "-subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout '" +
                              pair.Key + "' -out '" + pair.Certificate + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
  return pair;
}

std::string FileFingerprint(const std::string& certificateFile) {
  FILE* f = std::fopen(certificateFile.c_str(), "r");
  if (!f) return "";
  X509* certificate = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  const std::string out = Fingerprint(certificate);
  X509_free(certificate);
  return out;
}

std::string ServedFingerprint(uint16_t port, int maxVersion) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return "";
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  // Old versions are offered only when asked for: the system's default floor
  // would otherwise refuse them on our side.
  if (maxVersion != 0) {
    SSL_CTX_set_security_level(ctx.get(), 0);
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_VERSION);
    SSL_CTX_set_max_proto_version(ctx.get(), maxVersion);
  }
  SSL* ssl = SSL_new(ctx.get());
  SSL_set_fd(ssl, fd);
  timeval wait{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  std::string out;
  if (SSL_connect(ssl) == 1) {
    X509* certificate = SSL_get1_peer_certificate(ssl);
    out = Fingerprint(certificate);
    X509_free(certificate);
    SSL_shutdown(ssl);
  }
  SSL_free(ssl);
  close(fd);
  return out;
}
