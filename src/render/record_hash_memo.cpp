// RecordHashMemo: in-order matching of a frame's records against the previous frame's.
#include "render/record_hash_memo.h"

#include <cstring>
#include <utility>

void RecordHashMemo::startFrame(const std::vector<ArenaChunk>& arena, int32_t bytes) {
  current_.clear();
  currentBase_ = reinterpret_cast<const unsigned char*>(arena.data());
  sameFrame_ = bytes == keptBytes_ && std::memcmp(currentBase_, keptArena_.data(), static_cast<size_t>(bytes)) == 0;
  if (sameFrame_) current_ = kept_;  // the same records at the same offsets
  walkedBytes_ = 0;
  cursor_ = 0;
}

bool RecordHashMemo::sameBytes(const RenderCommand& record, const Entry& kept) const {
  const auto* keptRecord =
      reinterpret_cast<const RenderCommand*>(reinterpret_cast<const unsigned char*>(keptArena_.data()) + kept.offset);
  return keptRecord->size == record.size && std::memcmp(keptRecord, &record, record.size) == 0;
}

uint32_t RecordHashMemo::add(const RenderCommand& record) {
  walkedBytes_ += record.size;
  if (sameFrame_) return static_cast<uint32_t>(cursor_++);
  const auto offset = static_cast<uint32_t>(reinterpret_cast<const unsigned char*>(&record) - currentBase_);
  Entry entry{offset, 0, false, false, {}, {}};
  for (size_t candidate = cursor_; candidate < kept_.size() && candidate <= cursor_ + 1; ++candidate) {
    if (sameBytes(record, kept_[candidate])) {
      entry = kept_[candidate];
      entry.offset = offset;
      cursor_ = candidate + 1;
      break;
    }
  }
  current_.push_back(entry);
  return static_cast<uint32_t>(current_.size() - 1);
}

bool RecordHashMemo::knownHash(uint32_t index, uint32_t* hash) const {
  const Entry& entry = current_[index];
  if (entry.hashed) *hash = entry.hash;
  return entry.hashed;
}

void RecordHashMemo::setHash(uint32_t index, uint32_t hash) {
  current_[index].hash = hash;
  current_[index].hashed = true;
}

bool RecordHashMemo::knownFold(uint32_t index, const CellMarkInputs& inputs, CellFold* fold) const {
  const Entry& entry = current_[index];
  if (!entry.folded || !(entry.inputs == inputs)) return false;
  *fold = entry.fold;
  return true;
}

void RecordHashMemo::setFold(uint32_t index, const CellMarkInputs& inputs, const CellFold& fold) {
  Entry& entry = current_[index];
  entry.folded = true;
  entry.inputs = inputs;
  entry.fold = fold;
}

void RecordHashMemo::finishFrame(std::vector<ArenaChunk>& arena, int32_t bytes) {
  const bool walked = walkedBytes_ == bytes && currentBase_ == reinterpret_cast<const unsigned char*>(arena.data());
  std::swap(keptArena_, arena);
  std::swap(kept_, current_);
  keptBytes_ = walked ? bytes : -1;
  if (!walked) kept_.clear();
  current_.clear();
  walkedBytes_ = -1;
}
