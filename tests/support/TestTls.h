// Test support for the web port's TLS: a self-signed certificate made at
// test time (the machine's openssl command), and the fingerprint of the
// certificate a port presents, read with a handshake of our own.
#pragma once

#include <cstdint>
#include <string>

struct TTestCertificate {
  std::string Certificate, Key;  // PEM files
};

// A fresh self-signed pair for "localhost" as `dir`/`name`.crt and .key.
TTestCertificate MakeTestCertificate(const std::string& dir, const std::string& name);
// SHA-256 of a PEM certificate file, in hex; empty when unreadable.
std::string FileFingerprint(const std::string& certificateFile);
// SHA-256 of the certificate 127.0.0.1:`port` presents; empty when no
// handshake completes. `maxVersion`: the highest TLS version offered
// (0: any).
std::string ServedFingerprint(uint16_t port, int maxVersion = 0);
