#include "services/zip_format.h"

#include <zlib.h>

#include <cstring>

namespace zipformat {

std::string_view findExtraField(std::string_view extra, uint16_t id, size_t* position) {
  for (size_t at = 0; extra.size() - at >= 4;) {
    const auto* header = reinterpret_cast<const unsigned char*>(extra.data() + at);
    const size_t length = readLE(header + 2, 2);
    if (extra.size() - at - 4 < length) break;
    if (readLE(header, 2) == id) {
      if (position != nullptr) *position = at;
      return extra.substr(at + 4, length);
    }
    at += 4 + length;
  }
  return {};
}

}  // namespace zipformat

namespace ziptext {

std::string readError(int errorNumber) { return std::string("Read error: ") + std::strerror(errorNumber); }

std::string writeError(int errorNumber) { return std::string("Write error: ") + std::strerror(errorNumber); }

std::string zlibError(int status) { return std::string("Zlib error: ") + zError(status); }

std::string withPrefix(const char* prefix, std::string_view text) {
  std::string message(prefix);
  message += ": ";
  message += text;
  return message;
}

}  // namespace ziptext
