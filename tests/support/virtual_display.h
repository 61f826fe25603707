// A private X display for tests that need a real display server: Xvfb started on a free display number
// (which it reports through -displayfd), with one 640 x 480 screen of the given depth, ended when the object
// goes.
#pragma once

#include <sys/types.h>

#include <string>

namespace qztest {

class VirtualDisplay {
 public:
  explicit VirtualDisplay(int depth = 24);
  ~VirtualDisplay();
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  // ":N", for DISPLAY; empty when the server did not start (failure() says why).
  const std::string& name() const { return name_; }
  const std::string& failure() const { return failure_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
  std::string failure_;
};

}  // namespace qztest
