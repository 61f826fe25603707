// Starting downloads and reading their outcome. The request and the thread share the state; the thread keeps
// it alive after the Lua side let go, stores the outcome and sets finished last. libcurl and OpenSSL are
// initialised once, before the first download thread, and never torn down: detached downloads may still run
// while the process exits, so OpenSSL is told not to clean itself up at exit under them.
#include "services/download.h"

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "host/process_state.h"
#include "services/zip_files.h"

namespace web {
namespace {

std::mutex& settingsMutex() {
  static std::mutex mutex;
  return mutex;
}

DownloadConnectionSettings& testSettings() {
  static DownloadConnectionSettings settings;
  return settings;
}

DownloadConnectionSettings currentSettings() {
  std::lock_guard lock(settingsMutex());
  return testSettings();
}

void initialiseTransferLibraries() {
  static std::once_flag once;
  std::call_once(once, [] {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

void finishDownload(DownloadState& state, DownloadResult&& result) {
  state.result = std::move(result);
  state.finished.store(true, std::memory_order_release);
}

void downloadThreadMain(const std::shared_ptr<DownloadState>& state, const std::string& url,
                        const std::string& destination, const DownloadOptions& options,
                        const DownloadConnectionSettings& settings) noexcept {
  DownloadResult result;
  try {
    result = performDownload(*state, url, destination, options, settings);
  } catch (const std::exception&) {
    result = DownloadResult();
    result.fixedMessage = "download worker failed";
  }
  finishDownload(*state, std::move(result));
}

// The one request that every download started after shutdown began receives, finished and refused. Such a
// download comes from a finalizer run while the main state closes, whose objects are never collected, so
// the request must own nothing of its own; this one is made once and kept for the life of the process.
std::shared_ptr<DownloadRequest> refusedAtShutdown() {
  static const auto* const refused = [] {
    auto state = std::make_shared<DownloadState>();
    DownloadResult result;
    result.message = "download thread failed: the process is shutting down";
    finishDownload(*state, std::move(result));
    return new std::shared_ptr<DownloadRequest>(std::make_shared<DownloadRequest>(state));
  }();
  return *refused;
}

}  // namespace

void setDownloadTestSettings(const DownloadConnectionSettings& settings) {
  std::lock_guard lock(settingsMutex());
  testSettings() = settings;
}

std::string formatStepError(const char* step, unsigned long code) {
  return std::string(step) + " failed (" + std::to_string(code) + ")";
}

bool DownloadRequest::result(DownloadResult& out) const {
  if (!ready()) return false;
  out = state_->result;
  return true;
}

std::shared_ptr<DownloadRequest> startDownload(std::string url, std::string destination, DownloadOptions options) {
  if (processShuttingDown()) return refusedAtShutdown();
  initialiseTransferLibraries();
  auto state = std::make_shared<DownloadState>();
  auto request = std::make_shared<DownloadRequest>(state);
  if (!destination.empty() && destination.find('\0') == std::string::npos) {
    if (std::string absolute = absoluteUtf8Path(destination); !absolute.empty()) destination = std::move(absolute);
  }
  try {
    std::thread(downloadThreadMain, state, std::move(url), std::move(destination), std::move(options),
                currentSettings())
        .detach();
  } catch (const std::system_error& error) {
    DownloadResult failed;
    failed.message = std::string("download thread failed: ") + error.what();
    finishDownload(*state, std::move(failed));
  } catch (const std::bad_alloc&) {
    DownloadResult failed;
    failed.message = "download thread could not be created";
    finishDownload(*state, std::move(failed));
  }
  return request;
}

}  // namespace web
