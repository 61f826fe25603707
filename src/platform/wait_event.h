// Wait events of waiting forwarders: one FIFO per request in the per-user runtime directory (mode 0600,
// "QzWait<digits>-<id>"), where no other user can create or reach anything. A later start of qz that waits
// creates one; the first instance writes one byte into it: its answer, done (the scripts are done with that
// command line, or the instance ends) or refused (refused, dropped or not queued: nothing was done with it).
// Nothing at such a name that is not this user's FIFO is ever waited on or written to. The waiter also
// watches the first instance's process, so it never outlives it.
#pragma once

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
  // The pidfd, readable once the process has ended; -1 when there is none to watch.
  int descriptor() const { return pidfd_.get(); }

 private:
  pid_t pid_;
  UniqueFd pidfd_;
};

// The byte a first instance writes into a wait event.
enum class WaitAnswer : char { Done = 1, Refused = 2 };
// How a wait ended. Anything the waiter cannot read as an answer counts as a refusal, never as done.
enum class WaitOutcome { Done, Refused, ProcessEnded };

class WaitEvent {
 public:
  // Creates a new event at path; none when anything is there already or creation fails.
  static std::optional<WaitEvent> create(std::string path);
  WaitEvent(WaitEvent&& other) noexcept = default;
  WaitEvent& operator=(WaitEvent&& other) noexcept;
  WaitEvent(const WaitEvent&) = delete;
  WaitEvent& operator=(const WaitEvent&) = delete;
  ~WaitEvent();  // closes and removes the FIFO

  // Waits until the event is set (its answer) or the watched process has ended.
  WaitOutcome waitUntilSetOrProcessEnds(const ProcessWatch& process) const;

 private:
  WaitEvent(std::string path, UniqueFd fifo) : path_(std::move(path)), fifo_(std::move(fifo)) {}
  void release();
  std::string path_;
  UniqueFd fifo_;
};

// Sets the event at path to `answer` and removes it. True when it was set, or when its waiter has gone (nothing there,
// or a FIFO that nobody reads any more, which is removed); false when what is there is not a FIFO of this
// user, or it cannot be written.
bool setWaitEvent(const std::string& path, WaitAnswer answer = WaitAnswer::Done);

enum class AnswerDelivery { Written, WaiterGone, Failed };
// Writes the answer into a wait event opened for writing. WaiterGone when its last reader closed it after the
// open (the write fails with EPIPE, and SIGPIPE is not raised whatever its disposition); Failed on any other
// error.
AnswerDelivery writeWaitAnswer(int fifo, WaitAnswer answer);
