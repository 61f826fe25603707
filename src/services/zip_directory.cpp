#include "services/zip_directory.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "services/zip_format.h"

namespace {

using zipformat::readLE;

// The tail that may hold the end record: its longest comment and one byte more, as Python's zipfile searches.
constexpr uint64_t kTailSize = zipformat::kEndSize + zipformat::kMaxCommentSize + 1;

// The position of the last end-record signature with a whole record after it, or false.
bool findEndRecord(const ZipBytes& bytes, uint64_t& position, std::string& failure) {
  if (bytes.size() < zipformat::kEndSize) {
    failure = ziptext::kNotAnArchive;
    return false;
  }
  const uint64_t tailStart = bytes.size() - std::min(bytes.size(), kTailSize);
  std::vector<unsigned char> tail(bytes.size() - tailStart);
  const int64_t got = bytes.readAt(tailStart, tail.data(), tail.size());
  if (got != static_cast<int64_t>(tail.size())) {
    failure = got < 0 ? ziptext::readError(errno) : ziptext::kPrematureEnd;
    return false;
  }
  for (uint64_t at = tail.size() - zipformat::kEndSize + 1; at-- > 0;) {
    if (readLE(&tail[at], 4) == zipformat::kEndSignature) {
      position = tailStart + at;
      return true;
    }
  }
  failure = ziptext::kNotAnArchive;
  return false;
}

// Reads the ZIP64 end record that the locator before the end record leads to, right before the locator or,
// when it carries extensible data, where the locator says. Without one the end record's own values stand.
bool readZip64End(ZipWindow& window, uint64_t endPosition, ZipDirectory& directory, uint64_t& directoryEnd,
                  std::string& failure) {
  if (endPosition < zipformat::kZip64LocatorSize) return true;
  const uint64_t locatorPosition = endPosition - zipformat::kZip64LocatorSize;
  const unsigned char* locator = window.at(locatorPosition, zipformat::kZip64LocatorSize);
  if (locator == nullptr || readLE(locator, 4) != zipformat::kZip64LocatorSignature) return true;
  if (readLE(locator + 4, 4) != 0 || readLE(locator + 16, 4) > 1) {
    failure = ziptext::kMultiDisk;
    return false;
  }
  const uint64_t recordedPosition = readLE(locator + 8, 8);
  for (const uint64_t position :
       {locatorPosition - std::min(locatorPosition, zipformat::kZip64EndSize), recordedPosition}) {
    const unsigned char* record = window.at(position, zipformat::kZip64EndSize);
    if (record == nullptr || readLE(record, 4) != zipformat::kZip64EndSignature ||
        locatorPosition - std::min(locatorPosition, position) < zipformat::kZip64EndSize) {
      continue;
    }
    directory.recordedCount = readLE(record + 32, 8);
    directory.size = readLE(record + 40, 8);
    directory.offset = readLE(record + 48, 8);
    directory.zip64 = true;
    directoryEnd = position;
    return true;
  }
  return true;
}

// The length of the data descriptor that follows an entry's data at `at`, or 0 when none is there: one
// begins with its signature or with the entry's CRC-32, and its sizes take 4 or 8 bytes each. Sizes that
// reach 0xFFFFFFFF take 8 even when the local header has no ZIP64 field, as Java and Go write them; smaller
// ones take the width at which they are the central record's sizes. A narrow descriptor is followed by a
// record's signature, never by the eight zero bytes that would make a wide one of an empty entry match too.
// Sizes that match at neither width take 8 bytes in an entry whose local header has a ZIP64 field.
uint64_t descriptorLength(ZipWindow& window, uint64_t at, const ZipCentralRecord& record, bool localZip64) {
  const unsigned char* start = window.at(at, 4);
  if (start == nullptr) return 0;
  uint64_t head = 0;  // the signature and the CRC-32, or the CRC-32 alone
  if (readLE(start, 4) == zipformat::kDescriptorSignature) {
    head = 8;
  } else if (readLE(start, 4) == record.crc) {
    head = 4;
  } else {
    return 0;
  }
  if (record.compressedSize >= zipformat::kMarker32 || record.uncompressedSize >= zipformat::kMarker32) {
    return head + 16;
  }
  if (const unsigned char* wide = window.at(at, head + 16); wide != nullptr &&
                                                            readLE(wide + head, 8) == record.compressedSize &&
                                                            readLE(wide + head + 8, 8) == record.uncompressedSize) {
    return head + 16;
  }
  if (const unsigned char* narrow = window.at(at, head + 8); narrow != nullptr &&
                                                             readLE(narrow + head, 4) == record.compressedSize &&
                                                             readLE(narrow + head + 4, 4) == record.uncompressedSize) {
    return head + 8;
  }
  return head + (localZip64 ? 16 : 8);
}

}  // namespace

bool findZipDirectory(const ZipBytes& bytes, ZipDirectory& directory, std::string& failure) {
  uint64_t endPosition = 0;
  if (!findEndRecord(bytes, endPosition, failure)) return false;
  ZipWindow window(bytes, 512);
  const unsigned char* end = window.at(endPosition, zipformat::kEndSize);
  if (end == nullptr) {
    failure = window.readFailed() ? ziptext::readError(errno) : ziptext::kPrematureEnd;
    return false;
  }
  directory = {};
  directory.commentStart = endPosition + zipformat::kEndSize;
  directory.commentLength = std::min<uint64_t>(readLE(end + 20, 2), bytes.size() - directory.commentStart);
  directory.recordedCount = readLE(end + 10, 2);
  directory.size = readLE(end + 12, 4);
  directory.offset = readLE(end + 16, 4);
  uint64_t directoryEnd = endPosition;
  if (!readZip64End(window, endPosition, directory, directoryEnd, failure)) return false;
  // The records end where the end records begin; their recorded offset says how far the archive has moved.
  const uint64_t recordedOffset = directory.offset;
  if (directory.size > directoryEnd || recordedOffset > static_cast<uint64_t>(INT64_MAX)) {
    failure = ziptext::kInconsistent;
    return false;
  }
  directory.offset = directoryEnd - directory.size;
  directory.shift = static_cast<int64_t>(directory.offset) - static_cast<int64_t>(recordedOffset);
  return true;
}

bool ZipDirectoryWalker::next(ZipCentralRecord& record, std::string& failure) {
  failure.clear();
  if (position_ == directory_.size) return false;
  const uint64_t left = directory_.size - position_;
  const uint64_t at = directory_.offset + position_;
  const unsigned char* fixed = left >= zipformat::kCentralSize ? window_.at(at, zipformat::kCentralSize) : nullptr;
  if (fixed == nullptr || readLE(fixed, 4) != zipformat::kCentralSignature) {
    failure = window_.readFailed() ? ziptext::readError(errno) : ziptext::kInconsistent;
    return false;
  }
  const uint64_t nameLength = readLE(fixed + zipformat::kCentralNameLength, 2);
  const uint64_t extraLength = readLE(fixed + zipformat::kCentralNameLength + 2, 2);
  const uint64_t size = zipformat::kCentralSize + nameLength + extraLength + readLE(fixed + 32, 2);
  const unsigned char* bytes = left >= size ? window_.at(at, size) : nullptr;
  if (bytes == nullptr) {
    failure = window_.readFailed() ? ziptext::readError(errno) : ziptext::kInconsistent;
    return false;
  }
  const auto* text = reinterpret_cast<const char*>(bytes);
  record.raw = std::string_view(text, size);
  record.name = record.raw.substr(zipformat::kCentralSize, nameLength);
  record.extra = record.raw.substr(zipformat::kCentralSize + nameLength, extraLength);
  record.flags = static_cast<uint16_t>(readLE(bytes + zipformat::kCentralFlags, 2));
  record.method = static_cast<uint16_t>(readLE(bytes + zipformat::kCentralMethod, 2));
  record.crc = static_cast<uint32_t>(readLE(bytes + zipformat::kCentralCrc, 4));
  record.externalAttributes = static_cast<uint32_t>(readLE(bytes + zipformat::kCentralExternalAttributes, 4));
  record.uncompressedSize = readLE(bytes + zipformat::kCentralUncompressedSize, 4);
  record.compressedSize = readLE(bytes + zipformat::kCentralCompressedSize, 4);
  record.localOffset = readLE(bytes + zipformat::kCentralLocalOffset, 4);
  // The ZIP64 field holds, in this order, the values whose fixed fields are markers.
  std::string_view zip64 = zipformat::findExtraField(record.extra, zipformat::kZip64ExtraId);
  for (uint64_t* value : {&record.uncompressedSize, &record.compressedSize, &record.localOffset}) {
    if (*value != zipformat::kMarker32) continue;
    if (zip64.size() < 8) {
      failure = ziptext::kInconsistent;
      return false;
    }
    *value = readLE(reinterpret_cast<const unsigned char*>(zip64.data()), 8);
    zip64.remove_prefix(8);
  }
  position_ += size;
  ++walked_;
  return true;
}

bool ZipDirectoryWalker::countMatches() const {
  if (walked_ == directory_.recordedCount) return true;
  // Writers that keep to the classic end record wrap its count past 65535, or leave the marker there.
  return !directory_.zip64 && walked_ > zipformat::kMarker16 &&
         (walked_ % 65536 == directory_.recordedCount || directory_.recordedCount == zipformat::kMarker16);
}

bool readZipLocalRecord(ZipWindow& window, const ZipCentralRecord& record, int64_t shift, ZipLocalRecord& local,
                        std::string& failure) {
  const uint64_t size = window.bytes().size();
  const uint64_t position = static_cast<uint64_t>(shift) + record.localOffset;  // wraps like the reader's
  const unsigned char* header = window.at(position, zipformat::kLocalSize);
  if (header == nullptr || readLE(header, 4) != zipformat::kLocalSignature) {
    failure = window.readFailed() ? ziptext::readError(errno) : ziptext::kInconsistent;
    return false;
  }
  const uint64_t nameLength = readLE(header + zipformat::kLocalNameLength, 2);
  const uint64_t extraLength = readLE(header + zipformat::kLocalNameLength + 2, 2);
  const uint64_t dataStart = position + zipformat::kLocalSize + nameLength + extraLength;
  const unsigned char* whole = window.at(position, dataStart - position);
  if (whole == nullptr) {
    failure = window.readFailed() ? ziptext::readError(errno) : ziptext::kPrematureEnd;
    return false;
  }
  local.nameAndExtra.assign(reinterpret_cast<const char*>(whole) + zipformat::kLocalSize, nameLength + extraLength);
  local.nameLength = nameLength;
  if (record.compressedSize > size - std::min(size, dataStart)) {
    failure = ziptext::kPrematureEnd;
    return false;
  }
  uint64_t end = dataStart + record.compressedSize;
  if ((record.flags & zipformat::kFlagDescriptor) != 0) {
    const bool localZip64 = !zipformat::findExtraField(local.extra(), zipformat::kZip64ExtraId).empty();
    end = std::min(size, end + descriptorLength(window, end, record, localZip64));
  }
  local.start = position;
  local.end = end;
  return true;
}
