// The thread's processor clock, and its state in /proc (the letter after the command name's closing
// parenthesis, which the name itself may contain).
#include "platform/thread_watch.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/unique_fd.h"

ThreadWatch ThreadWatch::ofCallingThread() {
  ThreadWatch watch;
  watch.id_ = static_cast<pid_t>(syscall(SYS_gettid));
  watch.watched_ = pthread_getcpuclockid(pthread_self(), &watch.clock_) == 0;
  return watch;
}

std::chrono::nanoseconds ThreadWatch::processorTime() const {
  timespec time{};
  if (!watched_ || clock_gettime(clock_, &time) != 0) return {};
  return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

bool ThreadWatch::runnable() const {
  if (!watched_) return false;
  const std::string path = "/proc/self/task/" + std::to_string(id_) + "/stat";
  const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  char text[512];
  const ssize_t length = file.valid() ? read(file.get(), text, sizeof text - 1) : -1;
  if (length <= 0) return false;
  text[length] = '\0';
  const char* nameEnd = std::strrchr(text, ')');
  return nameEnd != nullptr && nameEnd[1] == ' ' && nameEnd[2] == 'R';
}
