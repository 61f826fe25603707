// One command line that a later start of qz hands to the first instance, and everything about it that needs
// no operating system: the instance key and the names built from it, the wire format with its limits, the
// "--wait" scan and the request identifier.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ForwardedRequest {
  uint64_t request_id = 0;  // 0 when the sender does not wait, else 1 .. 2^63 - 1
  std::string working_directory;
  std::vector<std::string> args;          // the sender's whole argument vector, argument 0 first
  std::optional<std::string> stdin_data;  // present when the sender read standard input (may be empty)
};

// Wire limits. The part before standard input is at most kMaxRequestHeadBytes, counted incrementally.
inline constexpr uint32_t kMaxWorkingDirectoryBytes = 0xffff0;
inline constexpr uint32_t kMaxForwardedArguments = 1024;
inline constexpr uint32_t kMaxRequestHeadBytes = 0x100000;
inline constexpr uint32_t kMaxForwardedStdinBytes = 0x4000000;
inline constexpr uint32_t kStdinFollowsBit = 0x80000000;
// The largest request id: ids stay positive as Lua integers.
inline constexpr uint64_t kMaxRequestId = 0x7fffffffffffffffULL;

// 64-bit FNV-1a of the bytes.
uint64_t fnv1a64(std::string_view bytes);
// Exactly 16 lowercase hexadecimal digits with leading zeros.
std::string hex16(uint64_t value);
// The 16 digits that name one instance: the hash of the key, byte for byte; an empty key counts as "qz".
std::string instanceKeyDigits(std::string_view key);

// True when the sender asked to wait: "--wait" among arguments 1..n, not as the value of "--file", and no
// help option ("--help", "-h", "-?", "/?") ends the scan first.
bool waitRequested(const std::vector<std::string>& args);

// ((pid << 32) XOR now XOR counter) limited to 63 bits; 0 becomes 1.
uint64_t makeRequestId(uint64_t processId, uint64_t nowNanoseconds, uint64_t counter);

// The bytes of a request up to its standard input: id, directory, count word, arguments and, when standard
// input follows, its length. None when the request breaks a wire limit (nothing is to be sent then).
std::optional<std::string> encodeRequestHead(uint64_t requestId, std::string_view workingDirectory,
                                             const std::vector<std::string>& args, std::optional<uint64_t> stdinSize);

// Reads exactly `count` bytes into buffer; false when they do not all arrive.
using ReadExact = std::function<bool(char* buffer, size_t count)>;
// Reads one request field by field, checking every limit before the bytes it guards are read. False on a
// short read, an id above kMaxRequestId or a broken limit; request_id is filled as soon as it has arrived, so
// a dropped request's sender can still be released.
bool decodeRequest(const ReadExact& read, ForwardedRequest& request);

// The request's size on the wire (without the acknowledgement): what it costs in the queue's budget.
uint64_t requestMessageSize(const ForwardedRequest& request);
