// SDL's file chooser runs a helper program of the desktop and first asks it for its version, waiting for the
// answer on the calling thread with no bound. The probe asks the same question with a bound, so a helper
// that hangs fails the dialog instead of freezing qz.
#pragma once

#include <chrono>
#include <optional>
#include <string>

inline constexpr auto kDialogHelperAnswerTime = std::chrono::seconds(3);

// Runs "zenity --version" as SDL would find it, when SDL may use it (no other chooser named in
// SDL_FILE_DIALOG_DRIVER, and one in PATH), and waits at most `bound` for it to end. None when it ended
// or was not run; else the error text. The helper runs in a process group of its own, with default signal
// handling, an empty signal mask and no descriptor but the standard three (all /dev/null); one that does not
// answer is killed with its group and on its own, and the call returns within the bound and a short time
// to reap it.
std::optional<std::string> probeDialogHelper(std::chrono::milliseconds bound = kDialogHelperAnswerTime);
