// The test HTTP(S) server (http_fixture.py) as a child process: started on a free port of 127.0.0.1,
// stopped when the object goes, and ending by itself should this process die first.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace qztest {

struct TlsFiles {
  std::string certificate;
  std::string key;
};

class HttpFixture {
 public:
  explicit HttpFixture(const std::optional<TlsFiles>& tls = std::nullopt);
  ~HttpFixture();
  HttpFixture(const HttpFixture&) = delete;
  HttpFixture& operator=(const HttpFixture&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" (or https) followed by path.
  std::string url(const std::string& path) const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  bool tls_ = false;
};

// The byte at offset of the fixture's endless body pattern.
unsigned char fixturePatternByte(uint64_t offset);

// A certificate for 127.0.0.1 and its key, made by openssl into dir; nothing when openssl failed.
std::optional<TlsFiles> makeLocalCertificate(const std::string& dir);

}  // namespace qztest
