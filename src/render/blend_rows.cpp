// Row blending with SIMD paths for opaque destinations: eight pixels at a time with AVX2 where the
// processor has it (glyph rows are rarely wider, so a row is one step), else four with SSE2. Division by 255 uses (v +
// 1 + (v >> 8)) >> 8, exact for every v up to 65534 (the sums here stay below 65153).
#include "render/blend_rows.h"

#include <immintrin.h>

#include <algorithm>

#include "render/pixel_ops.h"

namespace {

[[gnu::always_inline]] inline __m128i divide255(__m128i v) {
  const __m128i one = _mm_set1_epi16(1);
  return _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(v, one), _mm_srli_epi16(v, 8)), 8);
}

// Per-pixel alpha broadcast to the four 16-bit channel lanes of two pixels.
[[gnu::always_inline]] inline __m128i spreadAlpha(__m128i alphaPairs) {
  return _mm_shufflehi_epi16(_mm_shufflelo_epi16(alphaPairs, _MM_SHUFFLE(0, 0, 0, 0)), _MM_SHUFFLE(0, 0, 0, 0));
}

[[gnu::always_inline]] inline __m128i blendHalf(__m128i source16, __m128i destination16, __m128i alpha16) {
  const __m128i inverse = _mm_sub_epi16(_mm_set1_epi16(255), alpha16);
  const __m128i sum = _mm_add_epi16(
      _mm_add_epi16(_mm_mullo_epi16(source16, alpha16), _mm_mullo_epi16(destination16, inverse)), _mm_set1_epi16(127));
  return divide255(sum);
}

// Four pixels over four opaque destination pixels.
[[gnu::always_inline]] inline __m128i blendFourOpaque(__m128i source, __m128i destination, __m128i tintColour16,
                                                      __m128i tintAlpha, bool fromTint) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i sourceAlpha = _mm_srli_epi32(source, 24);
  const __m128i alpha = divide255(_mm_add_epi16(_mm_mullo_epi16(sourceAlpha, tintAlpha), _mm_set1_epi16(127)));
  const __m128i alphaLow = spreadAlpha(_mm_unpacklo_epi32(alpha, alpha));
  const __m128i alphaHigh = spreadAlpha(_mm_unpackhi_epi32(alpha, alpha));
  const __m128i sourceLow = fromTint ? tintColour16 : _mm_unpacklo_epi8(source, zero);
  const __m128i sourceHigh = fromTint ? tintColour16 : _mm_unpackhi_epi8(source, zero);
  const __m128i low = blendHalf(sourceLow, _mm_unpacklo_epi8(destination, zero), alphaLow);
  const __m128i high = blendHalf(sourceHigh, _mm_unpackhi_epi8(destination, zero), alphaHigh);
  return _mm_or_si128(_mm_packus_epi16(low, high), _mm_set1_epi32(static_cast<int>(0xFF000000u)));
}

void blendOne(uint32_t* destination, uint32_t source, uint32_t tint, BlendColour colour) {
  const uint32_t product = (source >> 24) * (tint >> 24);
  if (product < 128) return;
  blendPixel(destination, colour == BlendColour::FromTint ? tint : source, (product + 127) / 255);
}

void blendRowSse2(uint32_t* destination, const uint32_t* source, int32_t count, uint32_t tint, BlendColour colour) {
  const bool fromTint = colour == BlendColour::FromTint;
  const __m128i alphaMask = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  const __m128i tintColour16 = _mm_unpacklo_epi8(_mm_set1_epi32(static_cast<int>(tint)), _mm_setzero_si128());
  const __m128i tintAlpha = _mm_set1_epi32(static_cast<int>(tint >> 24));
  const auto blendFour = [&](__m128i src, __m128i* dstPointer, uint32_t* dst, const uint32_t* srcPixels) {
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(src, alphaMask), _mm_setzero_si128())) == 0xFFFF) return;
    const __m128i dstPixels = _mm_loadu_si128(dstPointer);
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(dstPixels, alphaMask), alphaMask)) == 0xFFFF) {
      _mm_storeu_si128(dstPointer, blendFourOpaque(src, dstPixels, tintColour16, tintAlpha, fromTint));
    } else {
      for (int k = 0; k < 4; ++k) blendOne(dst + k, srcPixels[k], tint, colour);
    }
  };
  int32_t i = 0;
  for (; i + 4 <= count; i += 4) {
    blendFour(_mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i)),
              reinterpret_cast<__m128i*>(destination + i), destination + i, source + i);
  }
  if (i == count) return;
  // The tail through a padded copy: transparent source pixels over opaque padding change nothing.
  const int32_t rest = count - i;
  alignas(16) uint32_t sourceTail[4] = {0, 0, 0, 0};
  alignas(16) uint32_t destinationTail[4] = {0xFF000000u, 0xFF000000u, 0xFF000000u, 0xFF000000u};
  switch (rest) {  // unrolled: these copies are too short for a library call
    case 3:
      sourceTail[2] = source[i + 2], destinationTail[2] = destination[i + 2];
      [[fallthrough]];
    case 2:
      sourceTail[1] = source[i + 1], destinationTail[1] = destination[i + 1];
      [[fallthrough]];
    default:
      sourceTail[0] = source[i], destinationTail[0] = destination[i];
  }
  blendFour(_mm_load_si128(reinterpret_cast<const __m128i*>(sourceTail)), reinterpret_cast<__m128i*>(destinationTail),
            destinationTail, sourceTail);
  switch (rest) {
    case 3:
      destination[i + 2] = destinationTail[2];
      [[fallthrough]];
    case 2:
      destination[i + 1] = destinationTail[1];
      [[fallthrough]];
    default:
      destination[i] = destinationTail[0];
  }
}

#define QZ_AVX2 __attribute__((target("avx2")))

QZ_AVX2 inline __m256i divide255Avx2(__m256i v) {
  const __m256i one = _mm256_set1_epi16(1);
  return _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(v, one), _mm256_srli_epi16(v, 8)), 8);
}

QZ_AVX2 inline __m256i spreadAlphaAvx2(__m256i alphaPairs) {
  return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(alphaPairs, _MM_SHUFFLE(0, 0, 0, 0)), _MM_SHUFFLE(0, 0, 0, 0));
}

QZ_AVX2 inline __m256i blendHalfAvx2(__m256i source16, __m256i destination16, __m256i alpha16) {
  const __m256i inverse = _mm256_sub_epi16(_mm256_set1_epi16(255), alpha16);
  const __m256i sum = _mm256_add_epi16(
      _mm256_add_epi16(_mm256_mullo_epi16(source16, alpha16), _mm256_mullo_epi16(destination16, inverse)),
      _mm256_set1_epi16(127));
  return divide255Avx2(sum);
}

// Eight pixels over eight opaque destination pixels (each 128-bit half works on its own four pixels).
QZ_AVX2 inline __m256i blendEightOpaque(__m256i source, __m256i destination, __m256i tintColour16, __m256i tintAlpha,
                                        bool fromTint) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i sourceAlpha = _mm256_srli_epi32(source, 24);
  const __m256i alpha =
      divide255Avx2(_mm256_add_epi16(_mm256_mullo_epi16(sourceAlpha, tintAlpha), _mm256_set1_epi16(127)));
  const __m256i alphaLow = spreadAlphaAvx2(_mm256_unpacklo_epi32(alpha, alpha));
  const __m256i alphaHigh = spreadAlphaAvx2(_mm256_unpackhi_epi32(alpha, alpha));
  const __m256i sourceLow = fromTint ? tintColour16 : _mm256_unpacklo_epi8(source, zero);
  const __m256i sourceHigh = fromTint ? tintColour16 : _mm256_unpackhi_epi8(source, zero);
  const __m256i low = blendHalfAvx2(sourceLow, _mm256_unpacklo_epi8(destination, zero), alphaLow);
  const __m256i high = blendHalfAvx2(sourceHigh, _mm256_unpackhi_epi8(destination, zero), alphaHigh);
  return _mm256_or_si256(_mm256_packus_epi16(low, high), _mm256_set1_epi32(static_cast<int>(0xFF000000u)));
}

QZ_AVX2 inline void blendRowAvx2(uint32_t* destination, const uint32_t* source, int32_t count, uint32_t tint,
                                 BlendColour colour, int64_t destinationRoom, int64_t sourceRoom) {
  const bool fromTint = colour == BlendColour::FromTint;
  const __m256i alphaMask = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  const __m256i tintColour16 = _mm256_unpacklo_epi8(_mm256_set1_epi32(static_cast<int>(tint)), _mm256_setzero_si256());
  const __m256i tintAlpha = _mm256_set1_epi32(static_cast<int>(tint >> 24));
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  for (int32_t i = 0; i < count; i += 8) {
    const int32_t n = std::min(8, count - i);
    if (n < 8 && (destinationRoom - i < 8 || sourceRoom - i < 8)) {
      for (int32_t k = i; k < count; ++k) blendOne(destination + k, source[k], tint, colour);
      return;
    }
    // A short group reads whole (the buffers have room), treats the lanes past the end as transparent
    // over opaque, and writes those lanes back unchanged.
    const __m256i inside = _mm256_cmpgt_epi32(_mm256_set1_epi32(n), lanes);
    auto* dst = reinterpret_cast<__m256i*>(destination + i);
    const __m256i sourcePixels =
        _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i)), inside);
    const __m256i original = _mm256_loadu_si256(dst);
    const __m256i destinationPixels = _mm256_or_si256(original, _mm256_andnot_si256(inside, alphaMask));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(_mm256_and_si256(destinationPixels, alphaMask), alphaMask)) != -1) {
      for (int32_t k = i; k < i + n; ++k) blendOne(destination + k, source[k], tint, colour);
      continue;
    }
    const __m256i blended = blendEightOpaque(sourcePixels, destinationPixels, tintColour16, tintAlpha, fromTint);
    _mm256_storeu_si256(dst, _mm256_blendv_epi8(original, blended, inside));
  }
}

QZ_AVX2 void blendAreaAvx2(const BlendArea& area, uint32_t tint, BlendColour colour) {
  for (int32_t j = 0; j < area.height; ++j) {
    blendRowAvx2(area.destination + j * area.destinationStride, area.source + j * area.sourceStride, area.width, tint,
                 colour, area.destinationRoom - j * area.destinationStride, area.sourceRoom - j * area.sourceStride);
  }
}

bool hasAvx2() {
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}

}  // namespace

void blendArea(const BlendArea& area, uint32_t tint, BlendColour colour) {
  if (hasAvx2()) {
    blendAreaAvx2(area, tint, colour);
  } else {
    blendAreaPortable(area, tint, colour);
  }
}

void blendAreaPortable(const BlendArea& area, uint32_t tint, BlendColour colour) {
  for (int32_t j = 0; j < area.height; ++j) {
    blendRowSse2(area.destination + j * area.destinationStride, area.source + j * area.sourceStride, area.width, tint,
                 colour);
  }
}
