// The failure of a multi-step file operation: which step failed and the errno it failed with.
#pragma once

#include <string>
#include <system_error>

struct FileStepError {
  const char* step = nullptr;  // "file open", "file write", ...
  int code = 0;
};

// "<step> failed: <the system's text for the code>".
inline std::string describeFileStepError(const FileStepError& error) {
  return std::string(error.step != nullptr ? error.step : "file operation") +
         " failed: " + std::error_code(error.code, std::generic_category()).message();
}
