// The memory block of a "Qz.PreparedTokenizer" userdata. A scan holds the tokenizers it uses, so that a Lua
// callback which finalises one in the middle of a scan only marks it; the last hold releases it.
#pragma once

#include <cstdint>
#include <memory>

#include "text/tokenizer_rules.h"

struct TokenizerHandle {
  std::unique_ptr<PreparedTokenizer> tokenizer;
  uint32_t scanHolds = 0;
  bool releaseRequested = false;

  void requestRelease() {
    releaseRequested = true;
    if (scanHolds == 0) tokenizer.reset();
  }
};

class TokenizerHold {
 public:
  explicit TokenizerHold(TokenizerHandle* handle) : handle_(handle) { ++handle_->scanHolds; }
  TokenizerHold(TokenizerHold&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  TokenizerHold(const TokenizerHold&) = delete;
  TokenizerHold& operator=(const TokenizerHold&) = delete;
  TokenizerHold& operator=(TokenizerHold&&) = delete;
  ~TokenizerHold() {
    if (handle_ != nullptr && --handle_->scanHolds == 0 && handle_->releaseRequested) handle_->tokenizer.reset();
  }

 private:
  TokenizerHandle* handle_;
};
