// The X client helper (x_client.py) run beside qz on a private display: a clipboard owner of a chosen
// behaviour, a reader, or a client that takes every connection the server has left.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qztest {

class XClient {
 public:
  // Starts the helper with args on the display; ended (SIGKILL) when the object goes.
  XClient(const std::string& display, std::vector<std::string> args);
  ~XClient();
  XClient(const XClient&) = delete;
  XClient& operator=(const XClient&) = delete;

  // The next line of its standard output without the line break; empty at its end, or when none has come
  // within a minute (a helper that hangs fails the test instead of holding it).
  std::string line();

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string received_;  // read past the last line taken
};

}  // namespace qztest
