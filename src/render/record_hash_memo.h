// The FNV-1a hashes and cell folds of the previous frame's records, kept with a copy of their bytes so that
// a record whose bytes did not change is not hashed or folded again: comparing bytes is far cheaper than
// the byte-serial hash, and most records of a frame repeat the last one's. Records are matched in order,
// and a record that matches the one after the expected one takes the match there, so an inserted, removed
// or changed record costs only itself.
#pragma once

#include <cstdint>
#include <vector>

#include "render/cell_fold.h"
#include "render/render_command.h"

// The unit of a command arena: records are 8-byte aligned.
struct alignas(8) ArenaChunk {
  unsigned char bytes[32];
};

// What besides its bytes decides the cells a record marks.
struct CellMarkInputs {
  RenderRect region;
  uint64_t fontSerial;
  uint64_t imageId;

  bool operator==(const CellMarkInputs& other) const {
    return region.x == other.region.x && region.y == other.region.y && region.w == other.region.w &&
           region.h == other.region.h && fontSerial == other.fontSerial && imageId == other.imageId;
  }
};

class RecordHashMemo {
 public:
  // `arenaChunks`: the size the kept arena starts with, that of the caller's arena.
  explicit RecordHashMemo(size_t arenaChunks) : keptArena_(arenaChunks) {}

  // Starts the records of a frame whose first `bytes` of `arena` hold its records.
  void startFrame(const std::vector<ArenaChunk>& arena, int32_t bytes);
  // Appends the next record of the frame; returns its index.
  uint32_t add(const RenderCommand& record);
  // The kept hash of record `index` when its bytes equal a hashed record of the previous frame.
  bool knownHash(uint32_t index, uint32_t* hash) const;
  void setHash(uint32_t index, uint32_t hash);
  // The cells a record marks follow from its hash, its region (which the active clip decides) and the
  // identities of the font and image it points at; a record matched with the same inputs keeps its fold.
  bool knownFold(uint32_t index, const CellMarkInputs& inputs, CellFold* fold) const;
  void setFold(uint32_t index, const CellMarkInputs& inputs, const CellFold& fold);
  // Ends the frame of `arena`, whose first `bytes` hold the records added since startFrame: the records
  // and their hashes become the previous frame's. The arena is swapped with the kept bytes, so the caller
  // gets an arena with stale contents back. A frame not walked completely keeps nothing.
  void finishFrame(std::vector<ArenaChunk>& arena, int32_t bytes);

 private:
  struct Entry {
    uint32_t offset;
    uint32_t hash;
    bool hashed;
    bool folded;
    CellMarkInputs inputs;
    CellFold fold;
  };

  bool sameBytes(const RenderCommand& record, const Entry& kept) const;

  std::vector<ArenaChunk> keptArena_;
  int32_t keptBytes_ = -1;
  bool sameFrame_ = false;  // every byte equals the kept frame's, so records match one for one
  std::vector<Entry> kept_;
  std::vector<Entry> current_;
  const unsigned char* currentBase_ = nullptr;
  int64_t walkedBytes_ = -1;
  size_t cursor_ = 0;
};
