// The failure of a multi-step file operation: which step failed and the errno it failed with.
#pragma once

struct FileStepError {
  const char* step = nullptr;  // "file open", "file write", ...
  int code = 0;
};
