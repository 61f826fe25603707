// The FNV-1a hashes of the previous frame's records, kept with a copy of their bytes so that a record whose
// bytes did not change is not hashed again: comparing bytes is far cheaper than the byte-serial hash, and
// most records of a frame repeat the last one's. Records are matched in order, and a record that matches
// the one after the expected one takes the match there, so an inserted, removed or changed record costs
// only itself.
#pragma once

#include <cstdint>
#include <vector>

#include "render/render_command.h"

// The unit of a command arena: records are 8-byte aligned.
struct alignas(8) ArenaChunk {
  unsigned char bytes[32];
};

class RecordHashMemo {
 public:
  // `arenaChunks`: the size the kept arena starts with, that of the caller's arena.
  explicit RecordHashMemo(size_t arenaChunks) : keptArena_(arenaChunks) {}

  // Starts the records of a frame laid out in `arena`.
  void startFrame(const std::vector<ArenaChunk>& arena);
  // Appends the next record of the frame; returns its index.
  uint32_t add(const RenderCommand& record);
  // The kept hash of record `index` when its bytes equal a hashed record of the previous frame.
  bool knownHash(uint32_t index, uint32_t* hash) const;
  void setHash(uint32_t index, uint32_t hash);
  // Ends the frame of `arena`, whose first `bytes` hold the records added since startFrame: the records
  // and their hashes become the previous frame's. The arena is swapped with the kept bytes, so the caller
  // gets an arena with stale contents back. A frame not walked completely keeps nothing.
  void finishFrame(std::vector<ArenaChunk>& arena, int32_t bytes);

 private:
  struct Entry {
    uint32_t offset;
    uint32_t hash;
    bool hashed;
  };

  bool sameBytes(const RenderCommand& record, const Entry& kept) const;

  std::vector<ArenaChunk> keptArena_;
  std::vector<Entry> kept_;
  std::vector<Entry> current_;
  const unsigned char* currentBase_ = nullptr;
  int64_t walkedBytes_ = -1;
  size_t cursor_ = 0;
};
