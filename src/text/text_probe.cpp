// The probe's passes: each examines the first `sample` bytes for UTF-16 and binary content, and the sample
// doubles until a pass decides or the limit is reached. A byte-pattern UTF-16 guess must be confirmed by a
// second pass (or cover the whole input) before it counts.
#include "text/text_probe.h"

#include <algorithm>

namespace {

constexpr uint64_t kFirstSample = 1024;
constexpr uint64_t kShortestUtf16Sample = 32;

struct ProbePass {
  Utf16Check utf16;
  BinarySample binary;
};

bool startsWith(std::string_view bytes, std::string_view prefix) {
  return bytes.size() >= prefix.size() && bytes.substr(0, prefix.size()) == prefix;
}

bool isUtf32Mark(std::string_view bytes) {
  return startsWith(bytes, std::string_view("\xFF\xFE\0\0", 4)) ||
         startsWith(bytes, std::string_view("\0\0\xFE\xFF", 4));
}

ProbePass runPass(std::string_view bytes, uint64_t sample) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  ProbePass pass;
  if (isUtf32Mark(bytes)) {
    pass.utf16.verdict = ProbeVerdict::Invalid;
    pass.utf16.inspected = 4;
  } else if (startsWith(bytes, "\xFE\xFF") || startsWith(bytes, "\xFF\xFE")) {
    pass.utf16 = {ProbeVerdict::Valid, data[0] == 0xFF, true, 2};
  } else if (sample < kShortestUtf16Sample) {
    pass.utf16 = {ProbeVerdict::Unsure, false, false, sample};
  } else {
    uint64_t inspected = sample;
    const bool little = looksLikeUtf16(data, bytes.size(), sample, true, &inspected);
    const bool big = looksLikeUtf16(data, bytes.size(), sample, false, &inspected);
    pass.utf16.inspected = inspected;
    if (little != big) {
      pass.utf16.verdict = ProbeVerdict::Valid;
      pass.utf16.littleEndian = little;
    } else {
      pass.utf16.verdict = little ? ProbeVerdict::Unsure : ProbeVerdict::Invalid;
    }
  }
  pass.binary = classifyBinarySample(data, sample, pass.utf16.verdict);
  return pass;
}

// Runs passes until a stop rule ends them; returns the stopping pass and leaves its sample size in *sample.
ProbePass runPasses(std::string_view bytes, uint64_t limit, uint64_t* sample) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  bool first = true;
  bool haveDecided = false;
  bool decidedLittleEndian = false;
  for (;;) {
    ProbePass pass = runPass(bytes, *sample);
    if (pass.utf16.verdict == ProbeVerdict::Valid) {
      if (first && *sample == bytes.size()) return pass;
      if (haveDecided && decidedLittleEndian == pass.utf16.littleEndian) return pass;
      if (pass.utf16.fromMark) return pass;
      haveDecided = true;
      decidedLittleEndian = pass.utf16.littleEndian;
    } else {
      haveDecided = false;
      if (pass.binary.verdict == ProbeVerdict::Valid) return pass;
    }
    if (*sample == limit) {
      if (pass.utf16.verdict == ProbeVerdict::Valid) {  // a guess the limit left unconfirmed
        pass.utf16.verdict = first ? ProbeVerdict::Unsure : ProbeVerdict::Invalid;
        pass.utf16.littleEndian = false;
        pass.binary = classifyBinarySample(data, *sample, pass.utf16.verdict);
      }
      return pass;
    }
    *sample = *sample > limit / 2 ? limit : *sample * 2;
    first = false;
  }
}

// Length of the UTF-8 sequence a lead byte opens and the range of its second byte; 0 for a bad lead.
int utf8SequenceLength(unsigned char lead, unsigned char* secondLow, unsigned char* secondHigh) {
  *secondLow = 0x80;
  *secondHigh = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (lead == 0xE0) *secondLow = 0xA0;
    if (lead == 0xED) *secondHigh = 0x9F;
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (lead == 0xF0) *secondLow = 0x90;
    if (lead == 0xF4) *secondHigh = 0x8F;
    return 4;
  }
  return 0;
}

uint16_t readUnit(const unsigned char* at, bool littleEndian) {
  return littleEndian ? static_cast<uint16_t>(at[0] | (at[1] << 8)) : static_cast<uint16_t>((at[0] << 8) | at[1]);
}

bool isGoodUtf16Unit(uint16_t unit) {
  if (unit == 0x09 || unit == 0x0A || unit == 0x0D) return true;
  if (unit < 0x20) return false;
  if (unit >= 0x7F && unit <= 0x9F) return false;
  return !(unit >= 0xDC00 && unit <= 0xDFFF);
}

}  // namespace

const char* probeVerdictName(ProbeVerdict verdict) {
  switch (verdict) {
    case ProbeVerdict::Valid:
      return "valid";
    case ProbeVerdict::Invalid:
      return "invalid";
    case ProbeVerdict::Unsure:
      return "unsure";
  }
  return "unsure";
}

ByteOrderMark findByteOrderMark(std::string_view bytes) {
  struct Mark {
    std::string_view bytes;
    const char* encoding;
  };
  static constexpr Mark kMarks[] = {
      {{"\xFF\xFE\0\0", 4}, "utf32le"}, {{"\0\0\xFE\xFF", 4}, "utf32be"}, {"\xEF\xBB\xBF", "utf8"},
      {"\xFF\xFE", "utf16le"},          {"\xFE\xFF", "utf16be"},
  };
  for (const Mark& mark : kMarks) {
    if (startsWith(bytes, mark.bytes)) return {mark.encoding, mark.bytes.size()};
  }
  return {};
}

Utf8Check validateUtf8Sample(std::string_view bytes, uint64_t sample) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const uint64_t size = bytes.size();
  Utf8Check check;
  uint64_t furthest = 0;
  uint64_t position = 0;
  while (position < sample) {
    const unsigned char lead = data[position];
    if (lead < 0x80) {
      ++position;
      continue;
    }
    unsigned char secondLow = 0;
    unsigned char secondHigh = 0;
    const int length = utf8SequenceLength(lead, &secondLow, &secondHigh);
    const uint64_t sequenceEnd = position + (length == 0 ? 1 : static_cast<uint64_t>(length));
    furthest = std::max(furthest, std::min(sequenceEnd, size));
    bool good = length != 0 && sequenceEnd <= size;
    if (good) good = data[position + 1] >= secondLow && data[position + 1] <= secondHigh;
    for (int k = 2; good && k < length; ++k) good = (data[position + k] & 0xC0) == 0x80;
    if (!good) {
      check.verdict = ProbeVerdict::Invalid;
      check.invalidOffset = position + 1;
      break;
    }
    position = sequenceEnd;
  }
  if (check.verdict != ProbeVerdict::Invalid) {
    check.verdict = sample == size ? ProbeVerdict::Valid : ProbeVerdict::Unsure;
  }
  check.inspected = std::max(sample, furthest);
  return check;
}

bool looksLikeUtf16(const unsigned char* bytes, uint64_t size, uint64_t sample, bool littleEndian,
                    uint64_t* inspected) {
  const uint64_t length = sample < size ? sample + (sample & 1) : sample;
  *inspected = std::max(*inspected, length);
  if (length < kShortestUtf16Sample) return false;
  uint64_t good = 0;
  uint64_t bad = 0;
  uint64_t zeroHigh = 0;
  uint64_t at = 0;
  while (at + 2 <= length) {
    const uint16_t unit = readUnit(bytes + at, littleEndian);
    if ((unit >> 8) == 0) ++zeroHigh;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (at + 4 <= size) {
        const uint16_t follower = readUnit(bytes + at + 2, littleEndian);
        if (follower >= 0xDC00 && follower <= 0xDFFF) {
          good += 2;
          at += 4;
          *inspected = std::max(*inspected, at);
          continue;
        }
      }
      ++bad;
    } else if (isGoodUtf16Unit(unit)) {
      ++good;
    } else {
      ++bad;
    }
    at += 2;
  }
  const double units = static_cast<double>(length / 2);
  return good / units >= 0.75 && bad / units <= 0.02 && zeroHigh / units >= 0.3;
}

BinarySample classifyBinarySample(const unsigned char* bytes, uint64_t count, ProbeVerdict utf16Mode) {
  BinarySample result;
  if (count == 0) return result;
  for (uint64_t index = 0; index < count; ++index) {
    const unsigned char byte = bytes[index];
    if (byte == 0) ++result.nulCount;
    const bool allowedControl =
        byte == 0x08 || byte == 0x09 || byte == 0x0A || byte == 0x0D || byte == 0x1A || byte == 0x1B;
    if (byte < 0x20 && !allowedControl) ++result.controlCount;
  }
  if (utf16Mode == ProbeVerdict::Valid) {
    result.verdict = ProbeVerdict::Invalid;
  } else if (result.nulCount > 0) {
    result.verdict = utf16Mode == ProbeVerdict::Invalid ? ProbeVerdict::Valid : ProbeVerdict::Unsure;
  } else {
    const double ratio = static_cast<double>(result.controlCount) / static_cast<double>(count);
    result.verdict = ratio > 0.1 ? ProbeVerdict::Valid : ProbeVerdict::Invalid;
  }
  return result;
}

ProbeReport probeText(std::string_view bytes, uint64_t maxSample) {
  ProbeReport report;
  report.inputSize = bytes.size();
  report.maxSample = maxSample;
  report.initialSample = std::min(maxSample, kFirstSample);
  const uint64_t limit = std::min<uint64_t>(maxSample, bytes.size());
  uint64_t sample = std::min(limit, kFirstSample);
  const ProbePass pass = runPasses(bytes, limit, &sample);
  report.sampleSize = sample;
  report.complete = sample == bytes.size();
  report.utf16 = pass.utf16;
  report.binary = pass.binary;
  report.utf8 = validateUtf8Sample(bytes, sample);
  report.mark = findByteOrderMark(bytes);
  const uint64_t markBytesRead =
      report.mark.encoding != nullptr ? report.mark.size : std::min<uint64_t>(bytes.size(), 4);
  report.inspectedSize = std::max({report.utf8.inspected, report.utf16.inspected, markBytesRead});
  return report;
}
