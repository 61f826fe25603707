// The fallback probe cache: whether a font file that no group has loaded yet has a usable glyph for a
// codepoint, answered from a bare FreeType face kept open per path, so that a long list of fallback files
// costs a full font only for the files that really have a needed glyph. At most 32 paths stay open; the
// least recently probed one goes first. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "fonts/freetype_library.h"

enum class ProbeResult : uint8_t { None = 0, NoGlyph = 1, Usable = 2 };

// What one resolution spent on probing, for the fallback trace.
struct ProbeCounts {
  size_t probes = 0;
  size_t newEntries = 0;
};

class FallbackProbeCache {
 public:
  static constexpr size_t kMaxEntries = 32;

  // Probes `path` for `codepoint`: None when the file can't be read or opened (never retried while the
  // entry stays) or the codepoint is beyond Unicode.
  ProbeResult probe(const std::string& path, uint32_t codepoint, ProbeCounts& counts);
  size_t size() const { return entries_.size(); }
  bool contains(const std::string& path) const { return entries_.count(path) != 0; }

 private:
  struct Entry {
    uint8_t opened = 0;
    uint8_t failed = 0;
    uint8_t snapshotBitmapAllowed = 0;
    uint8_t snapshotSvgAllowed = 0;
    std::vector<uint8_t> fileBytes;
    std::unordered_map<uint32_t, uint8_t> probeResults;
    FreeTypeFaceHandle ftFace;  // declared after the bytes it reads, so it closes first
    uint64_t lastUse = 0;
  };

  void evictLeastRecentlyUsed();
  static void open(Entry& entry, const std::string& path);
  static ProbeResult computeProbe(Entry& entry, uint32_t codepoint);

  std::unordered_map<std::string, Entry> entries_;
  uint64_t useStamp_ = 0;
};

// The process-wide probe cache shared by every group; its faces close at process exit, before the library.
FallbackProbeCache& fallbackProbeCache();
