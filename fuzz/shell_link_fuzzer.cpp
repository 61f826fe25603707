// Shortcut files from anywhere: the reader must refuse what does not fit, never read outside the bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/shell_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  parseShellLink({reinterpret_cast<const char*>(data), size});
  return 0;
}
