// Text probing: byte-order marks, strict UTF-8 validation, UTF-16 without a mark and binary content, judged
// from a growing sample of the input's leading bytes so that a large input costs no more than a small one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Each detector's answer about its own hypothesis (the data is UTF-8, is UTF-16, is binary).
enum class ProbeVerdict : uint8_t { Valid = 0, Invalid = 1, Unsure = 2 };

const char* probeVerdictName(ProbeVerdict verdict);

struct ByteOrderMark {
  const char* encoding = nullptr;  // null when the input starts with no mark
  uint64_t size = 0;
};

struct Utf8Check {
  ProbeVerdict verdict = ProbeVerdict::Valid;
  uint64_t invalidOffset = 0;  // 1-based position of the first bad sequence's lead byte
  uint64_t inspected = 0;
};

struct Utf16Check {
  ProbeVerdict verdict = ProbeVerdict::Unsure;
  bool littleEndian = false;  // with Valid only
  bool fromMark = false;      // with Valid only: basis "bom", else "byte_pattern"
  uint64_t inspected = 0;
};

struct BinarySample {
  ProbeVerdict verdict = ProbeVerdict::Invalid;
  uint64_t nulCount = 0;
  uint64_t controlCount = 0;
};

struct ProbeReport {
  uint64_t inputSize = 0;
  uint64_t initialSample = 0;
  uint64_t maxSample = 0;
  uint64_t sampleSize = 0;
  uint64_t inspectedSize = 0;
  bool complete = false;
  ByteOrderMark mark;
  Utf8Check utf8;
  Utf16Check utf16;
  BinarySample binary;
};

constexpr uint64_t kDefaultProbeSample = 8192;

// Probes `bytes` with samples of at most `maxSample` (at least 1) bytes.
ProbeReport probeText(std::string_view bytes, uint64_t maxSample);

ByteOrderMark findByteOrderMark(std::string_view bytes);
Utf8Check validateUtf8Sample(std::string_view bytes, uint64_t sample);
// Whether the first `sample` bytes read as UTF-16 in one byte order; raises *inspected to the furthest byte read.
bool looksLikeUtf16(const unsigned char* bytes, uint64_t size, uint64_t sample, bool littleEndian, uint64_t* inspected);
// Binary verdict of the first `count` bytes, given the UTF-16 verdict of the same pass.
BinarySample classifyBinarySample(const unsigned char* bytes, uint64_t count, ProbeVerdict utf16Mode);
