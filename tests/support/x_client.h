// The X client helper (x_client.py) run beside qz on a private display: a clipboard owner of a chosen
// behaviour, a reader, or a client that takes every connection the server has left.
#pragma once

#include <sys/types.h>

#include <cstdio>
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

  // The next line of its standard output without the line break; empty at its end.
  std::string line();

 private:
  pid_t pid_ = -1;
  FILE* output_ = nullptr;
};

}  // namespace qztest
