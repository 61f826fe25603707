// Row blending with SIMD paths for opaque destinations: eight pixels at a time with AVX2 where the
// processor has it, else four with SSE2. The SSE2 path divides by 255 with (v + 1 + (v >> 8)) >> 8, exact
// for every v up to 65534 (the sums here stay below 65153).
#include "render/blend_rows.h"

#include <immintrin.h>

#include <algorithm>

#include "render/cpu_features.h"
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

// A vector constant the compiler must keep in a register: left to itself it rebuilds broadcast constants
// inside the loops.
QZ_AVX2 inline __m256i keptInRegister(__m256i value) {
  asm("" : "+x"(value));
  return value;
}

// AVX2 blending of one group of at most eight pixels. The blend of a channel is one multiply-add of byte
// pairs: weights (255 - a, a) against (destination - 128, colour - 128), which stays inside 16 bits; adding
// 128 x 255 + 127 back gives the rounded sum of the pixel rule, and (x * 0x8081) >> 23 divides it by 255
// exactly for every 16-bit x. Instantiated per colour source and per opaque tint, so that the row loop
// keeps its constants in registers.
template <bool kFromTint, bool kOpaqueTint>
class Avx2Blender {
 public:
  QZ_AVX2 explicit Avx2Blender(uint32_t tint)
      : alphaMask_(keptInRegister(_mm256_set1_epi32(static_cast<int>(0xFF000000u)))),
        flip_(keptInRegister(_mm256_set1_epi8(static_cast<char>(0x80)))),
        weightFlip_(keptInRegister(_mm256_set1_epi16(0x00FF))),
        bias_(keptInRegister(_mm256_set1_epi16(128 * 255 + 127))),
        reciprocal_(keptInRegister(_mm256_set1_epi16(static_cast<short>(0x8081)))),
        spreadLow_(_mm256_setr_epi8(3, 3, 3, 3, 3, 3, 3, 3, 7, 7, 7, 7, 7, 7, 7, 7, 3, 3, 3, 3, 3, 3, 3, 3, 7, 7, 7, 7,
                                    7, 7, 7, 7)),
        spreadHigh_(_mm256_setr_epi8(11, 11, 11, 11, 11, 11, 11, 11, 15, 15, 15, 15, 15, 15, 15, 15, 11, 11, 11, 11, 11,
                                     11, 11, 11, 15, 15, 15, 15, 15, 15, 15, 15)),
        tintColour_(keptInRegister(_mm256_xor_si256(_mm256_set1_epi32(static_cast<int>(tint | 0xFF000000u)), flip_))),
        tintAlpha_(keptInRegister(_mm256_set1_epi32(static_cast<int>(tint >> 24)))),
        tint_(tint) {}

  // Blends `count` pixels selected by `inside`; the source and destination hold eight readable pixels. A
  // transparent source group is left alone, one over a translucent destination goes pixel by pixel.
  QZ_AVX2 inline void group(uint32_t* destination, const uint32_t* source, int32_t count, __m256i inside) const {
    const __m256i sourcePixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source));
    const __m256i alphaInside = _mm256_and_si256(alphaMask_, inside);
    if (_mm256_testz_si256(sourcePixels, alphaInside)) return;
    auto* target = reinterpret_cast<__m256i*>(destination);
    const __m256i original = _mm256_loadu_si256(target);
    if (!_mm256_testc_si256(original, alphaInside)) {
      for (int32_t k = 0; k < count; ++k) blendOne(destination + k, source[k], tint_, colourSource());
      return;
    }
    const __m256i blended = overOpaque(sourcePixels, original);
    _mm256_storeu_si256(target, _mm256_blendv_epi8(original, blended, inside));
  }

  static constexpr BlendColour colourSource() { return kFromTint ? BlendColour::FromTint : BlendColour::FromSource; }

 private:
  // Eight source pixels over eight opaque destination pixels; the result is opaque.
  QZ_AVX2 inline __m256i overOpaque(__m256i source, __m256i destination) const {
    __m256i alphaBytes = source;  // the effective alpha in byte 3 of each pixel
    if constexpr (!kOpaqueTint) {
      const __m256i product = _mm256_mullo_epi16(_mm256_srli_epi32(source, 24), tintAlpha_);
      const __m256i rounded = _mm256_add_epi16(product, _mm256_set1_epi32(127));
      alphaBytes = _mm256_slli_epi32(_mm256_srli_epi16(_mm256_mulhi_epu16(rounded, reciprocal_), 7), 24);
    }
    __m256i colour = tintColour_;
    if constexpr (!kFromTint) colour = _mm256_xor_si256(_mm256_or_si256(source, alphaMask_), flip_);
    const __m256i flipped = _mm256_xor_si256(destination, flip_);
    const __m256i weightsLow = _mm256_xor_si256(_mm256_shuffle_epi8(alphaBytes, spreadLow_), weightFlip_);
    const __m256i weightsHigh = _mm256_xor_si256(_mm256_shuffle_epi8(alphaBytes, spreadHigh_), weightFlip_);
    const __m256i low = channels(weightsLow, _mm256_unpacklo_epi8(flipped, colour));
    const __m256i high = channels(weightsHigh, _mm256_unpackhi_epi8(flipped, colour));
    return _mm256_packus_epi16(low, high);
  }

  // Sixteen channels: weight pairs against flipped (destination, colour) byte pairs, divided back to bytes.
  QZ_AVX2 inline __m256i channels(__m256i weights, __m256i pairs) const {
    const __m256i sum = _mm256_add_epi16(_mm256_maddubs_epi16(weights, pairs), bias_);
    return _mm256_srli_epi16(_mm256_mulhi_epu16(sum, reciprocal_), 7);
  }

  __m256i alphaMask_;
  __m256i flip_;        // 0x80 in every byte: unsigned bytes to signed ones
  __m256i weightFlip_;  // 0x00FF in every 16-bit lane: a, a becomes 255 - a, a
  __m256i bias_;        // 128 x 255 + 127
  __m256i reciprocal_;  // 0x8081
  __m256i spreadLow_;   // the alpha byte of pixels 0 and 1 of each half into their eight channel pairs
  __m256i spreadHigh_;  // the same for pixels 2 and 3
  __m256i tintColour_;  // the tint with an opaque alpha byte, flipped
  __m256i tintAlpha_;   // the tint alpha in each pixel's low 16 bits
  uint32_t tint_;
};

// Whether the last group of row `row` can be read as eight whole pixels in both buffers.
bool groupHasRoom(const BlendArea& area, int64_t row, int32_t groupStart) {
  return area.destinationRoom - row * area.destinationStride - groupStart >= 8 &&
         area.sourceRoom - row * area.sourceStride - groupStart >= 8;
}

// Rows in groups of eight pixels. A short last group reads whole vectors where both buffers have room and
// writes the pixels after the row back unchanged; without room it goes pixel by pixel. Glyph rows are
// rarely wider than eight pixels, so they get a loop of their own.
template <bool kFromTint, bool kOpaqueTint>
QZ_AVX2 void blendAreaAvx2(const BlendArea& area, uint32_t tint, const Avx2Blender<kFromTint, kOpaqueTint>& blender) {
  if (area.width < 1 || area.height < 1) return;
  const int32_t tail = area.width % 8;
  const int32_t tailStart = area.width - tail;
  const __m256i all = _mm256_set1_epi32(-1);
  const __m256i tailInside = _mm256_cmpgt_epi32(_mm256_set1_epi32(tail), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  uint32_t* destination = area.destination;
  const uint32_t* source = area.source;
  // Rooms shrink row by row, so when the last row has room every row has.
  const bool roomEverywhere = tail == 0 || groupHasRoom(area, area.height - 1, tailStart);
  if (area.width <= 8 && roomEverywhere) {
    const __m256i inside = tail == 0 ? all : tailInside;
    for (int32_t j = 0; j < area.height; ++j, destination += area.destinationStride, source += area.sourceStride) {
      blender.group(destination, source, area.width, inside);
    }
    return;
  }
  for (int32_t j = 0; j < area.height; ++j, destination += area.destinationStride, source += area.sourceStride) {
    for (int32_t i = 0; i < tailStart; i += 8) blender.group(destination + i, source + i, 8, all);
    if (tail == 0) continue;
    if (roomEverywhere || groupHasRoom(area, j, tailStart)) {
      blender.group(destination + tailStart, source + tailStart, tail, tailInside);
    } else {
      for (int32_t k = tailStart; k < area.width; ++k) {
        blendOne(destination + k, source[k], tint, blender.colourSource());
      }
    }
  }
}

template <bool kFromTint, bool kOpaqueTint>
QZ_AVX2 void blendAreasAvx2(std::span<const BlendArea> areas, uint32_t tint) {
  const Avx2Blender<kFromTint, kOpaqueTint> blender(tint);
  for (const BlendArea& area : areas) blendAreaAvx2(area, tint, blender);
}

QZ_AVX2 void blendAreasAvx2(std::span<const BlendArea> areas, uint32_t tint, BlendColour colour) {
  const bool opaqueTint = (tint >> 24) == 255;
  if (colour == BlendColour::FromTint) {
    opaqueTint ? blendAreasAvx2<true, true>(areas, tint) : blendAreasAvx2<true, false>(areas, tint);
  } else {
    opaqueTint ? blendAreasAvx2<false, true>(areas, tint) : blendAreasAvx2<false, false>(areas, tint);
  }
}

}  // namespace

void blendArea(const BlendArea& area, uint32_t tint, BlendColour colour) { blendAreas({&area, 1}, tint, colour); }

void blendAreas(std::span<const BlendArea> areas, uint32_t tint, BlendColour colour) {
  if (cpuHasAvx2()) {
    blendAreasAvx2(areas, tint, colour);
  } else {
    for (const BlendArea& area : areas) blendAreaPortable(area, tint, colour);
  }
}

void blendAreaPortable(const BlendArea& area, uint32_t tint, BlendColour colour) {
  for (int32_t j = 0; j < area.height; ++j) {
    blendRowSse2(area.destination + j * area.destinationStride, area.source + j * area.sourceStride, area.width, tint,
                 colour);
  }
}
