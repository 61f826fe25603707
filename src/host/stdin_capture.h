// Standard input taken whole at start-up ("--stdin" or "-"), and the hand-shake that tells the feeding
// process the input was consumed.
#pragma once

#include <cstddef>
#include <string>

inline constexpr size_t kStdinLimitBytes = size_t{64} * 1024 * 1024;

// Appends all of standard input to `text`; false with a message when it is a terminal, closed, unreadable,
// larger than 64 MiB, or memory runs out. NUL bytes are kept.
bool readAllStdin(std::string& text, std::string& error);

// Posts the named semaphore "/QzStdin-<pid>" when the feeding process, running as this user, created one;
// otherwise does nothing.
void signalStdinConsumed();
