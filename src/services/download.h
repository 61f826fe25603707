// HTTP(S) downloads into files. Each download runs on a detached thread of its own and is polled through its
// DownloadRequest: finished or not, bytes received so far, and the outcome. The body goes into a work file
// beside the destination, "<destination>.download-<pid>-<n>", held against a size ceiling, an optional
// expected size and an optional SHA-256 digest, flushed and closed, and only then renamed over the
// destination; so the destination is either as it was or the complete file that passed every test, and no
// work file is left behind. The destination is resolved as every save resolves it (resolveSaveTarget): a
// link is followed and kept, a read-only file refused. Nothing waits for running downloads when the process
// ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace web {

struct DownloadOptions {
  uint64_t max_size = 134217728;  // ceiling on the bytes received, never 0
  std::optional<uint64_t> size;   // the expected size
  std::string sha256;             // empty, or 64 lower-case hexadecimal digits
  std::string method = "GET";     // "GET" or "POST"
  std::string body;               // sent with POST only
};

struct DownloadResult {
  bool ok = false;      // true only when the destination was replaced
  uint64_t size = 0;    // bytes received and written; after success, the new file's size
  uint32_t status = 0;  // the HTTP status, 0 until it was read
  std::string message;
  const char* fixedMessage = nullptr;  // when set, the failure text in place of message
};

// Shared by the request and the download thread. Only the thread (or startDownload, when no thread could
// start) writes result, before it sets finished with a release store.
struct DownloadState {
  std::atomic<bool> finished{false};
  std::atomic<uint64_t> receivedBytes{0};
  DownloadResult result;
};

class DownloadRequest {
 public:
  explicit DownloadRequest(std::shared_ptr<DownloadState> state) : state_(std::move(state)) {}
  bool ready() const { return state_->finished.load(std::memory_order_acquire); }
  uint64_t progress() const { return state_->receivedBytes.load(std::memory_order_relaxed); }
  // Copies the outcome into out once finished; false, leaving out alone, while running.
  bool result(DownloadResult& out) const;

 private:
  std::shared_ptr<DownloadState> state_;
};

// What a download tells libcurl besides the request itself. Tests trust their own certificate authority
// and shorten the stall time-out through setDownloadTestSettings; every download copies the settings when
// it starts.
struct DownloadConnectionSettings {
  std::string certificateAuthorityFile;  // empty: the system's trust store only
  std::chrono::milliseconds connectTimeout{15000};
  std::chrono::seconds stallTimeout{15};  // less than one byte a second for this long ends the transfer
};
void setDownloadTestSettings(const DownloadConnectionSettings& settings);

// Starts a download of url into destination (made absolute against the current directory first, so a later
// change of directory cannot move it). A thread that cannot start is not reported here: the request is then
// already finished with the failure.
std::shared_ptr<DownloadRequest> startDownload(std::string url, std::string destination, DownloadOptions options);

// The transfer itself, on the calling thread; updates state.receivedBytes as it goes.
DownloadResult performDownload(DownloadState& state, const std::string& url, const std::string& destination,
                               const DownloadOptions& options, const DownloadConnectionSettings& settings);

// "<step> failed (<code>)".
std::string formatStepError(const char* step, unsigned long code);

}  // namespace web
