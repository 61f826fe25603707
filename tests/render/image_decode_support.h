// Encoded test images decoded from memory through decodeImage, with the integer fields their hand-made
// headers are built from.
#pragma once

#include <SDL3/SDL_iostream.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/sdl_handles.h"
#include "render/image_decode.h"

inline std::string le16(uint32_t v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }
inline std::string le32(uint32_t v) { return le16(v) + le16(v >> 16); }
inline std::string be16(uint32_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }
inline std::string be32(uint32_t v) { return be16(v >> 16) + be16(v); }

struct Loaded {
  bool decoded;
  int32_t width, height;
  std::string error;
  std::vector<uint32_t> pixels;
};

inline Loaded load(const std::string& bytes, const char* type = nullptr) {
  const IoStreamHandle stream(SDL_IOFromConstMem(bytes.data(), bytes.size()));
  const DecodedCanvas canvas = decodeImage(stream.get(), type, ImageDecoder::Detect);
  if (!canvas.bitmap) return {false, 0, 0, canvas.error, {}};
  return {true, canvas.bitmap->width, canvas.bitmap->height, "", canvas.bitmap->pixels};
}

struct Refusal {
  const char* what;
  std::string bytes;
  const char* type;  // as the file extension names it
};

// Each image fails to load with `error`.
inline void expectRefused(const std::vector<Refusal>& refusals, const std::string& error) {
  for (const Refusal& refusal : refusals) {
    const Loaded loaded = load(refusal.bytes, refusal.type);
    EXPECT_FALSE(loaded.decoded) << refusal.what;
    EXPECT_EQ(loaded.error, error) << refusal.what;
  }
}
