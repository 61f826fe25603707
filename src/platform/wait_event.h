// Named wait events over POSIX semaphores (mode 0600, names like "/QzWait<digits>-<id>"): a later start of
// qz that waits creates one, and the first instance sets it when the scripts are done with that command
// line. The waiter also watches the first instance's process, so it never outlives it.
#pragma once

#include <semaphore.h>
#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/unique_fd.h"

// Watches one process for its end: through a pidfd (close-on-exec), taken at construction so that a reused
// process id cannot be mistaken for it; a pid of 0 (a process this one cannot see) never ends.
class ProcessWatch {
 public:
  explicit ProcessWatch(pid_t pid);
  bool ended() const;

 private:
  pid_t pid_;
  UniqueFd pidfd_;
};

class WaitEvent {
 public:
  // Creates a new event; none when the name is taken or creation fails.
  static std::optional<WaitEvent> create(std::string name);
  WaitEvent(WaitEvent&& other) noexcept;
  WaitEvent& operator=(WaitEvent&& other) noexcept;
  WaitEvent(const WaitEvent&) = delete;
  WaitEvent& operator=(const WaitEvent&) = delete;
  ~WaitEvent();  // closes and removes the name

  const std::string& name() const { return name_; }
  // Waits until the event is set or the watched process has ended (checked every 100 ms).
  void waitUntilSetOrProcessEnds(const ProcessWatch& process) const;

 private:
  WaitEvent(std::string name, sem_t* semaphore) : name_(std::move(name)), semaphore_(semaphore) {}
  void release();
  std::string name_;
  sem_t* semaphore_;
};

// Sets the named event and removes its name. True when it was set, or when no such event exists (its
// waiter has gone); false when it exists but cannot be set.
bool setWaitEvent(const std::string& name);
