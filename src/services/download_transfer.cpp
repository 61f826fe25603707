// One download over libcurl's easy interface, on the download's own thread. The request is built from a
// parsed URL with its user name, password and fragment removed, so none of them is ever sent. The response's
// status and declared length are checked when its final headers end (interim 1xx answers and redirects that
// libcurl follows are skipped), or, when libcurl delivers no such end, at the first body bytes or after the
// transfer; only then is the work file claimed. The body is checked against the size ceiling before each
// piece is written, and hashed as it goes. Only a transfer that libcurl ends without an error can succeed.
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

#include "host/path_text.h"
#include "platform/save_target.h"
#include "platform/save_temporary.h"
#include "platform/sha256.h"
#include "services/download.h"
#include "services/zip_files.h"

namespace web {
namespace {

constexpr const char* kSizeLimitMessage = "download exceeds its size limit";
constexpr const char* kSizeMismatchMessage = "download size does not match";
constexpr const char* kReadOnlyMessage = "file is read-only";
constexpr int kWorkFileAttempts = 1024;
constexpr long kReadBufferSize = 65536;

struct CurlEasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlUrlCleanup {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlListCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;
using CurlUrl = std::unique_ptr<CURLU, CurlUrlCleanup>;
using CurlList = std::unique_ptr<curl_slist, CurlListCleanup>;

// The process-wide counter of work-file names (separate from the ZIP writer's).
uint64_t nextWorkFileNumber() {
  static std::atomic<uint64_t> counter{0};
  return counter.fetch_add(1);
}

// Claims "<name>.download-<pid>-<n>" beside the file the destination's links lead to, trying the next number
// while names are taken. The work file is removed on destruction unless it was moved over the destination.
bool claimWorkFile(const std::string& destination, SaveTemporary& work, DownloadResult& result) {
  SaveTarget target = resolveSaveTarget(destination);
  if (target.status == SaveTargetStatus::ReadOnly) {
    result.message = kReadOnlyMessage;
    return false;
  }
  int error = target.error;
  if (target.status == SaveTargetStatus::Ready) {
    const std::string prefix = ".download-" + std::to_string(getpid()) + "-";
    const SaveTemporaryNaming naming{prefix, &nextWorkFileNumber, kWorkFileAttempts};
    if (work.create(target, naming, O_WRONLY, error)) return true;
    if (error == EEXIST) {
      result.message = "download could not claim a work filename";
      return false;
    }
  }
  result.message = formatStepError("Download work-file creation", static_cast<unsigned long>(error));
  return false;
}

// Moves the finished work file over the destination as its links lead now, unless that file is read-only now.
bool installWorkFile(const std::string& destination, SaveTemporary& work, DownloadResult& result) {
  int error = 0;
  const SaveTemporary::Install installed = work.install(destination, error);
  if (installed == SaveTemporary::Install::Installed) return true;
  result.message = installed == SaveTemporary::Install::ReadOnly
                       ? kReadOnlyMessage
                       : formatStepError("Destination replacement", static_cast<unsigned long>(error));
  return false;
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return equalsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

bool containsIgnoringCase(std::string_view text, std::string_view part) {
  const auto lower = [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; };
  return std::search(text.begin(), text.end(), part.begin(), part.end(), lower) != text.end();
}

class Transfer {
 public:
  Transfer(DownloadState& state, const std::string& destination, const DownloadOptions& options, DownloadResult& result)
      : state_(state), destination_(destination), options_(options), result_(result) {}

  // Runs the whole transfer; the outcome is in the result given to the constructor.
  void run(const std::string& url, const DownloadConnectionSettings& settings) {
    if (prepare(url, settings)) finishBody(curl_easy_perform(easy_.get()));
  }

 private:
  bool prepare(const std::string& url, const DownloadConnectionSettings& settings);
  bool setOptions(const DownloadConnectionSettings& settings);
  bool finishBody(CURLcode code);
  bool acceptFinalResponse();
  bool takeBody(const char* data, size_t size);
  bool fail(std::string message) {
    result_.message = std::move(message);
    return false;
  }

  bool bodyMayBeCut();

  static size_t onHeader(char* data, size_t size, size_t count, void* self) noexcept;
  static size_t onBody(char* data, size_t size, size_t count, void* self) noexcept;
  static int onTrace(CURL* easy, curl_infotype type, char* data, size_t size, void* self) noexcept;
  static curl_socket_t openSocket(void* self, curlsocktype purpose, curl_sockaddr* address) noexcept;

  DownloadState& state_;
  const std::string& destination_;
  const DownloadOptions& options_;
  DownloadResult& result_;
  // Declared before the easy handle, which uses them until it is cleaned up.
  CurlUrl url_;
  CurlList headers_;
  CurlEasy easy_;
  SaveTemporary work_;
  Sha256 hash_;
  bool responseAccepted_ = false;  // the final response's checks ran and passed
  bool aborted_ = false;           // a callback stopped the transfer with its own message
  bool blockHasLocation_ = false;  // the current header block names a redirect target
  bool blockIsChunked_ = false;    // the current header block sends its body in chunks
  bool closeNotified_ = false;     // the server ended TLS with its close_notify alert
  std::optional<uint64_t> declaredLength_;
};

// Parses the URL, drops what must not be sent, checks the scheme and sets every option of the request.
bool Transfer::prepare(const std::string& url, const DownloadConnectionSettings& settings) {
  url_.reset(curl_url());
  if (!url_) return fail(formatStepError("URL parsing", CURLUE_OUT_OF_MEMORY));
  CURLUcode parsed = curl_url_set(url_.get(), CURLUPART_URL, url.c_str(), 0);
  for (CURLUPart part : {CURLUPART_USER, CURLUPART_PASSWORD, CURLUPART_OPTIONS, CURLUPART_FRAGMENT}) {
    if (parsed == CURLUE_OK) parsed = curl_url_set(url_.get(), part, nullptr, 0);
  }
  if (parsed != CURLUE_OK) return fail(formatStepError("URL parsing", parsed));
  char* scheme = nullptr;
  if (curl_url_get(url_.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
    return fail("URL must use HTTP or HTTPS");
  }
  const std::string_view name(scheme);
  const bool web = name == "http" || name == "https";
  curl_free(scheme);
  if (!web) return fail("URL must use HTTP or HTTPS");
  easy_.reset(curl_easy_init());
  if (!easy_) return fail(formatStepError("Internet session", 0));
  if (const CURLcode set = curl_easy_setopt(easy_.get(), CURLOPT_CURLU, url_.get()); set != CURLE_OK) {
    return fail(formatStepError("URL parsing", set));
  }
  if (!setOptions(settings)) return false;
  if (options_.body.size() > 4294967295u) return fail("HTTP request body is too large");
  return true;
}

bool Transfer::setOptions(const DownloadConnectionSettings& settings) {
  CURL* easy = easy_.get();
  CURLcode code = CURLE_OK;
  const auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) code = curl_easy_setopt(easy, option, value);
  };
  set(CURLOPT_USERAGENT, "Qz Update");
  // HTTP/1.1 only, where a body ends only by its length, its last chunk or a connection closed as TLS says it
  // meant to: this libcurl takes an HTTP/2 stream reset with NO_ERROR before a body's end as the body's end.
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connectTimeout.count()));
  set(CURLOPT_LOW_SPEED_LIMIT, 1L);
  set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(settings.stallTimeout.count()));
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, 10L);
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  if (!settings.certificateAuthorityFile.empty()) set(CURLOPT_CAINFO, settings.certificateAuthorityFile.c_str());
  set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);  // a proxy's answer to CONNECT is not the response
  set(CURLOPT_BUFFERSIZE, kReadBufferSize);
  set(CURLOPT_OPENSOCKETFUNCTION, &Transfer::openSocket);
  set(CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(this));
  set(CURLOPT_WRITEFUNCTION, &Transfer::onBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(this));
  // The trace is the only place libcurl shows the TLS alerts it receives; nothing of it is printed.
  set(CURLOPT_DEBUGFUNCTION, &Transfer::onTrace);
  set(CURLOPT_DEBUGDATA, static_cast<void*>(this));
  set(CURLOPT_VERBOSE, 1L);
  if (options_.method == "POST") {
    // One header list: the JSON type, and no "Expect: 100-continue" round trip before the body.
    headers_.reset(curl_slist_append(nullptr, "Content-Type: application/json"));
    if (!headers_ || curl_slist_append(headers_.get(), "Expect:") == nullptr) {
      return fail(formatStepError("HTTP request", CURLE_OUT_OF_MEMORY));
    }
    set(CURLOPT_HTTPHEADER, headers_.get());
    set(CURLOPT_POST, 1L);
    set(CURLOPT_POSTFIELDS, options_.body.data());
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(options_.body.size()));
  }
  if (code != CURLE_OK) return fail(formatStepError("HTTP request", code));
  return true;
}

// The status, the declared length, the work file: run once, for the response whose body is the download.
bool Transfer::acceptFinalResponse() {
  long status = 0;
  if (const CURLcode code = curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status); code != CURLE_OK) {
    return fail(formatStepError("HTTP status", code));
  }
  result_.status = static_cast<uint32_t>(status);
  if (status != 200) return fail("server returned HTTP " + std::to_string(status));
  curl_off_t length = -1;
  if (curl_easy_getinfo(easy_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length >= 0) {
    declaredLength_ = static_cast<uint64_t>(length);
    if (*declaredLength_ > options_.max_size) return fail(kSizeLimitMessage);
    if (options_.size && *declaredLength_ != *options_.size) return fail(kSizeMismatchMessage);
  }
  if (!claimWorkFile(destination_, work_, result_)) return false;
  responseAccepted_ = true;
  return true;
}

bool Transfer::takeBody(const char* data, size_t size) {
  if (!responseAccepted_ && !acceptFinalResponse()) return false;
  if (size > options_.max_size - result_.size) return fail(kSizeLimitMessage);
  if (!writeAll(work_.fd(), data, size)) {
    return fail(formatStepError("Destination write", static_cast<unsigned long>(errno)));
  }
  hash_.update(data, size);
  result_.size += size;
  state_.receivedBytes.store(result_.size, std::memory_order_relaxed);
  return true;
}

size_t Transfer::onHeader(char* data, size_t size, size_t count, void* self) noexcept {
  auto& transfer = *static_cast<Transfer*>(self);
  const size_t length = size * count;
  if (transfer.responseAccepted_) return length;  // trailers after the body
  const std::string_view line(data, length);
  if (startsWithIgnoringCase(line, "http/")) {
    // A new response: what an earlier one (a redirect, perhaps from another server) said no longer counts.
    transfer.blockHasLocation_ = transfer.blockIsChunked_ = transfer.closeNotified_ = false;
  }
  if (startsWithIgnoringCase(line, "location:")) transfer.blockHasLocation_ = true;
  if (startsWithIgnoringCase(line, "transfer-encoding:"))
    transfer.blockIsChunked_ = containsIgnoringCase(line, "chunked");
  if (line != "\r\n" && line != "\n") return length;
  long status = 0;
  curl_easy_getinfo(transfer.easy_.get(), CURLINFO_RESPONSE_CODE, &status);
  if (status >= 100 && status < 200) return length;                                // an interim answer
  if (status >= 300 && status < 400 && transfer.blockHasLocation_) return length;  // libcurl follows it
  try {
    if (transfer.acceptFinalResponse()) return length;
  } catch (const std::bad_alloc&) {
    transfer.result_.fixedMessage = "download worker failed";
  }
  transfer.aborted_ = true;
  return 0;
}

size_t Transfer::onBody(char* data, size_t size, size_t count, void* self) noexcept {
  auto& transfer = *static_cast<Transfer*>(self);
  const size_t length = size * count;
  try {
    if (transfer.takeBody(data, length)) return length;
  } catch (const std::bad_alloc&) {
    transfer.result_.fixedMessage = "download worker failed";
  }
  transfer.aborted_ = true;
  return 0;
}

// The connection is close-on-exec from the start, so that programs the scripts start never hold it open.
curl_socket_t Transfer::openSocket(void*, curlsocktype, curl_sockaddr* address) noexcept {
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// A TLS alert comes as its two bytes, level and description; description 0 is close_notify.
int Transfer::onTrace(CURL*, curl_infotype type, char* data, size_t size, void* self) noexcept {
  if (type == CURLINFO_SSL_DATA_IN && size == 2 && data[1] == 0) static_cast<Transfer*>(self)->closeNotified_ = true;
  return 0;
}

// Whether the body's end is only the connection's end, over TLS that did not say the end was meant: an
// attacker who cuts the connection then cuts the body unseen. HTTP/2 and later frame every body.
bool Transfer::bodyMayBeCut() {
  if (declaredLength_ || blockIsChunked_ || closeNotified_) return false;
  char* scheme = nullptr;
  long version = 0;
  if (curl_easy_getinfo(easy_.get(), CURLINFO_SCHEME, &scheme) != CURLE_OK || scheme == nullptr ||
      curl_easy_getinfo(easy_.get(), CURLINFO_HTTP_VERSION, &version) != CURLE_OK) {
    return true;
  }
  return equalsIgnoringAsciiCase(scheme, "https") && version < CURL_HTTP_VERSION_2_0;
}

// After the transfer: the end of the body, the size and digest checks, then the work file replaces the
// destination.
bool Transfer::finishBody(CURLcode code) {
  if (aborted_) return false;
  // Whatever framed the body, a declared length or chunks, a transfer that ended before the framing said the
  // body was whole is no download; a short body of declared length says so in its own words.
  if (code == CURLE_PARTIAL_FILE && declaredLength_ && result_.size < *declaredLength_) {
    return fail("download ended before its declared size");
  }
  if (code != CURLE_OK) return fail(formatStepError(responseAccepted_ ? "HTTP read" : "HTTP send", code));
  if (!responseAccepted_ && !acceptFinalResponse()) return false;
  if (bodyMayBeCut()) return fail(formatStepError("HTTP read", CURLE_PARTIAL_FILE));
  if (declaredLength_ && result_.size != *declaredLength_) return fail("download ended before its declared size");
  if (options_.size && result_.size != *options_.size) return fail(kSizeMismatchMessage);
  const Sha256Hex digest = hash_.finishHex();
  if (!options_.sha256.empty() && sha256HexView(digest) != options_.sha256) {
    return fail("download SHA-256 does not match");
  }
  if (int error = 0; !work_.sync(error)) {
    return fail(formatStepError("Destination flush", static_cast<unsigned long>(error)));
  }
  if (int error = 0; !work_.closeFile(error)) {
    return fail(formatStepError("Destination close", static_cast<unsigned long>(error)));
  }
  if (!installWorkFile(destination_, work_, result_)) return false;
  result_.ok = true;
  return true;
}

}  // namespace

DownloadResult performDownload(DownloadState& state, const std::string& url, const std::string& destination,
                               const DownloadOptions& options, const DownloadConnectionSettings& settings) {
  DownloadResult result;
  if (url.empty() || destination.empty() || destination.find('\0') != std::string::npos ||
      !isValidUtf8Path(destination)) {
    result.message = "URL or destination is not valid UTF-8";
    return result;
  }
  Transfer(state, destination, options, result).run(url, settings);
  return result;
}

}  // namespace web
