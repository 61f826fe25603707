// One zlib deflate or inflate stream, ended exactly once: through end() or else by the destructor, so no
// failure path leaks the library's state.
#pragma once

#include <zlib.h>

class ZlibStream {
 public:
  enum class Direction { Deflate, Inflate };

  explicit ZlibStream(Direction direction) : direction_(direction) {}
  ~ZlibStream() {
    if (active_) end();
  }
  ZlibStream(const ZlibStream&) = delete;
  ZlibStream& operator=(const ZlibStream&) = delete;

  // Method 8, memory level 9 and the default strategy.
  int initDeflate(int level, int windowBits) {
    const int status = deflateInit2(&stream_, level, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY);
    active_ = status == Z_OK;
    return status;
  }
  int initInflate(int windowBits) {
    const int status = inflateInit2(&stream_, windowBits);
    active_ = status == Z_OK;
    return status;
  }
  int end() {
    active_ = false;
    return direction_ == Direction::Deflate ? deflateEnd(&stream_) : inflateEnd(&stream_);
  }
  // Initialised and not yet ended.
  bool active() const { return active_; }
  z_stream& get() { return stream_; }

 private:
  Direction direction_;
  z_stream stream_{};
  bool active_ = false;
};
