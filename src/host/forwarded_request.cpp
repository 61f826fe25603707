// The forwarded request's wire format: little-endian integers, texts without terminators.
//
//   8  request_id          4  directory length L     L  directory
//   4  count word (bit 31: standard input follows; bits 0-30: argument count N)
//   N x (4 length, bytes)   [4 standard input length S, S bytes]
//
// The part before standard input may not exceed 1 MiB; the running total is checked before each argument,
// so neither side ever holds more than the limit allows.
#include "host/forwarded_request.h"

#include <cstdio>

namespace {

constexpr uint64_t kFixedHeadBytes = 16;  // id, directory length and count word
constexpr uint64_t kLengthFieldBytes = 4;

// The running size of the part before standard input; refuses an argument that would pass the limit.
class HeadBudget {
 public:
  explicit HeadBudget(uint64_t directoryBytes) : total_(kFixedHeadBytes + directoryBytes) {}
  bool admitArgument(uint64_t length) {
    if (total_ > kMaxRequestHeadBytes - kLengthFieldBytes) return false;
    total_ += kLengthFieldBytes;
    if (length > kMaxRequestHeadBytes - total_) return false;
    total_ += length;
    return true;
  }

 private:
  uint64_t total_;
};

void appendLittleEndian(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

uint64_t fromLittleEndian(const unsigned char* bytes, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

bool readInteger(const ReadExact& read, int bytes, uint64_t& value) {
  unsigned char buffer[8];
  if (!read(reinterpret_cast<char*>(buffer), static_cast<size_t>(bytes))) return false;
  value = fromLittleEndian(buffer, bytes);
  return true;
}

bool readText(const ReadExact& read, uint64_t length, std::string& text) {
  text.assign(static_cast<size_t>(length), '\0');
  return length == 0 || read(text.data(), text.size());
}

bool isHelpOption(std::string_view arg) { return arg == "--help" || arg == "-h" || arg == "-?" || arg == "/?"; }

}  // namespace

uint64_t fnv1a64(std::string_view bytes) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char byte : bytes) {
    hash ^= static_cast<unsigned char>(byte);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string hex16(uint64_t value) {
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(value));
  return digits;
}

std::string instanceKeyDigits(std::string_view key) { return hex16(fnv1a64(key.empty() ? "qz" : key)); }

bool waitRequested(const std::vector<std::string>& args) {
  bool wait = false;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--file") {
      ++i;  // its value is never an option
    } else if (isHelpOption(args[i])) {
      return false;
    } else if (args[i] == "--wait") {
      wait = true;
    }
  }
  return wait;
}

uint64_t makeRequestId(uint64_t processId, uint64_t nowNanoseconds, uint64_t counter) {
  const uint64_t id = ((processId << 32) ^ nowNanoseconds ^ counter) & kMaxRequestId;
  return id == 0 ? 1 : id;
}

std::optional<std::string> encodeRequestHead(uint64_t requestId, std::string_view workingDirectory,
                                             const std::vector<std::string>& args, std::optional<uint64_t> stdinSize) {
  if (args.size() > kMaxForwardedArguments || workingDirectory.size() > kMaxWorkingDirectoryBytes) return {};
  if (stdinSize && *stdinSize > kMaxForwardedStdinBytes) return {};
  HeadBudget budget(workingDirectory.size());
  for (const std::string& arg : args) {
    if (!budget.admitArgument(arg.size())) return {};
  }
  std::string head;
  appendLittleEndian(head, requestId, 8);
  appendLittleEndian(head, workingDirectory.size(), 4);
  head.append(workingDirectory);
  appendLittleEndian(head, args.size() | (stdinSize ? kStdinFollowsBit : 0), 4);
  for (const std::string& arg : args) {
    appendLittleEndian(head, arg.size(), 4);
    head.append(arg);
  }
  if (stdinSize) appendLittleEndian(head, *stdinSize, 4);
  return head;
}

bool decodeRequest(const ReadExact& read, ForwardedRequest& request) {
  uint64_t directoryLength = 0, countWord = 0;
  if (!readInteger(read, 8, request.request_id) || request.request_id > kMaxRequestId ||
      !readInteger(read, 4, directoryLength)) {
    return false;
  }
  if (directoryLength > kMaxWorkingDirectoryBytes || !readText(read, directoryLength, request.working_directory)) {
    return false;
  }
  if (!readInteger(read, 4, countWord)) return false;
  const uint64_t argumentCount = countWord & ~uint64_t{kStdinFollowsBit};
  if (argumentCount > kMaxForwardedArguments) return false;
  HeadBudget budget(directoryLength);
  request.args.resize(static_cast<size_t>(argumentCount));
  for (std::string& arg : request.args) {
    uint64_t length = 0;
    if (!readInteger(read, 4, length) || !budget.admitArgument(length) || !readText(read, length, arg)) {
      return false;
    }
  }
  if ((countWord & kStdinFollowsBit) == 0) return true;
  uint64_t stdinLength = 0;
  if (!readInteger(read, 4, stdinLength) || stdinLength > kMaxForwardedStdinBytes) return false;
  return readText(read, stdinLength, request.stdin_data.emplace());
}

uint64_t requestMessageSize(const ForwardedRequest& request) {
  uint64_t size = kFixedHeadBytes + request.working_directory.size();
  for (const std::string& arg : request.args) size += kLengthFieldBytes + arg.size();
  if (request.stdin_data) size += kLengthFieldBytes + request.stdin_data->size();
  return size;
}
