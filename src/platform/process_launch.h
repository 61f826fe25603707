// Starting programs that run on their own: the caller neither waits for them nor hears how they end.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Starts the executable at path (taken as given: no search of PATH) with arguments as its argument vector
// (argv[0] included), in a new session, with standard input, output and error on /dev/null, no other
// descriptor of this process, default signal handling and an empty signal mask, this process's environment
// and current directory. It runs as the child of a short-lived intermediate process that is reaped here, so
// it never becomes a zombie of ours. Returns 0 once the program is running, else the errno of the step that
// failed (execve's own included).
int launchDetached(const std::string& path, const std::vector<std::string>& arguments);

// The first executable file called name in the directories of PATH (a default list when PATH is unset);
// empty when there is none.
std::string findInPath(std::string_view name);
