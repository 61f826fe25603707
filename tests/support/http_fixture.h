// The test HTTP(S) servers (http_fixture.py, http2_fixture.py) as child processes: started on a free port of
// 127.0.0.1, stopped when the object goes, and ending by itself should this process die first.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

 protected:
  // Runs `interpreter` with `arguments` (the script first) and reads the port it prints.
  HttpFixture(const char* interpreter, std::vector<std::string> arguments, bool tls);

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  bool tls_ = false;
};

// The HTTP/2 server over TLS offering the ALPN protocols given ("h2", or "h2,http/1.1" to speak HTTP/1.1 as
// well). It runs on the distribution's python3, for which its h2 package is installed.
class Http2Fixture : public HttpFixture {
 public:
  Http2Fixture(const TlsFiles& tls, const std::string& protocols);
};

// The byte at offset of the fixture's endless body pattern.
unsigned char fixturePatternByte(uint64_t offset);

// A certificate for 127.0.0.1 and its key, made by openssl into dir; nothing when openssl failed.
std::optional<TlsFiles> makeLocalCertificate(const std::string& dir);

}  // namespace qztest
