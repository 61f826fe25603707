// Fuzzes the decoder of forwarded command lines, as the single-instance server reads them from a client: a
// request that decodes must obey every wire limit, have consumed exactly its size on the wire, and encode
// back to the very bytes it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "host/forwarded_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t consumed = 0;
  const ReadExact read = [&](char* buffer, size_t count) {
    if (count > size - consumed) return false;
    std::memcpy(buffer, data + consumed, count);
    consumed += count;
    return true;
  };
  ForwardedRequest request;
  if (!decodeRequest(read, request)) return 0;
  if (requestMessageSize(request) != consumed) std::abort();
  const size_t stdinBytes = request.stdin_data ? request.stdin_data->size() : 0;
  const std::optional<std::string> head =
      encodeRequestHead(request.request_id, request.working_directory, request.args,
                        request.stdin_data ? std::optional<uint64_t>(stdinBytes) : std::nullopt);
  if (!head || *head != input.substr(0, consumed - stdinBytes)) std::abort();
  if (request.stdin_data && *request.stdin_data != input.substr(consumed - stdinBytes, stdinBytes)) std::abort();
  waitRequested(request.args);
  return 0;
}
