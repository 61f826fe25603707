// The parts of the ZIP format that the reader and the writer share: record signatures, fixed record sizes and
// field positions, the ZIP64 extra field, little-endian fields, and the texts of format and I/O failures that
// follow a message's prefix ("ZIP open failed: Zip archive inconsistent").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zipformat {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kDescriptorSignature = 0x08074b50;

constexpr size_t kLocalSize = 30;
constexpr size_t kCentralSize = 46;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kMaxCommentSize = 65535;
constexpr uint64_t kMaxNameSize = 65535;

// Field positions within the local header and the central record.
constexpr size_t kLocalCrc = 14;
constexpr size_t kLocalNameLength = 26;
constexpr size_t kCentralFlags = 8;
constexpr size_t kCentralMethod = 10;
constexpr size_t kCentralCrc = 16;
constexpr size_t kCentralCompressedSize = 20;
constexpr size_t kCentralUncompressedSize = 24;
constexpr size_t kCentralNameLength = 28;
constexpr size_t kCentralExternalAttributes = 38;
constexpr size_t kCentralLocalOffset = 42;

// A 32-bit size or offset of this value, or a 16-bit count of 0xFFFF, stands for one kept in a ZIP64 record.
constexpr uint64_t kMarker32 = 0xFFFFFFFF;
constexpr uint64_t kMarker16 = 0xFFFF;
constexpr uint16_t kZip64ExtraId = 0x0001;

constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagDescriptor = 0x0008;
constexpr uint16_t kFlagPatched = 0x0020;
constexpr uint16_t kFlagStrongEncryption = 0x0040;
constexpr uint16_t kFlagUtf8 = 0x0800;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kMethodAes = 99;

inline uint64_t readLE(const unsigned char* bytes, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

inline void writeLE(unsigned char* bytes, uint64_t value, int count) {
  for (int i = 0; i < count; ++i, value >>= 8) bytes[i] = static_cast<unsigned char>(value & 0xFF);
}

inline void appendLE(std::string& out, uint64_t value, int count) {
  for (int i = 0; i < count; ++i, value >>= 8) out.push_back(static_cast<char>(value & 0xFF));
}

// The extra field with `id` within `extra` (its data, without the four-byte header), or nothing; a field whose
// length runs past the end of `extra` ends the search.
std::string_view findExtraField(std::string_view extra, uint16_t id, size_t* position = nullptr);

}  // namespace zipformat

// Texts of format and I/O failures, after a message's prefix and ": ".
namespace ziptext {

constexpr const char* kNotAnArchive = "Not a zip archive";
constexpr const char* kInconsistent = "Zip archive inconsistent";
constexpr const char* kMultiDisk = "Multi-disk zip archives not supported";
constexpr const char* kCrcError = "CRC error";
constexpr const char* kPrematureEnd = "Premature end of file";
constexpr const char* kInvalidArgument = "Invalid argument";
constexpr const char* kEntryChanged = "Entry has been changed";

// "Read error: " or "Write error: " and the system's text for `errorNumber`.
std::string readError(int errorNumber);
std::string writeError(int errorNumber);
// "Zlib error: " and zlib's text for its status.
std::string zlibError(int status);
// The prefix, ": " and the text.
std::string withPrefix(const char* prefix, std::string_view text);

}  // namespace ziptext
