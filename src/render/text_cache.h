// The text caches of a RenderCache: maps keyed by (font identity, tab width, text bytes), each in two
// generations. Lookups hash a view of the caller's bytes, so a hit copies nothing; when the current
// generation outgrows its limit it becomes the previous one, and an entry found only there is copied
// back, so entries used lately survive one more rotation.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

class RenderFont;

struct TextCacheKey {
  const RenderFont* font;
  int32_t tabWidth;
  std::string text;
};

struct TextCacheKeyView {
  const RenderFont* font;
  int32_t tabWidth;
  std::string_view text;
};

struct TextCacheKeyHash {
  using is_transparent = void;
  size_t operator()(const TextCacheKeyView& key) const {
    constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ull;
    const uint64_t h0 = reinterpret_cast<uintptr_t>(key.font);
    const uint64_t tab = static_cast<uint64_t>(static_cast<int64_t>(key.tabWidth));
    const uint64_t h1 = h0 ^ (tab + kGolden + (h0 << 6) + (h0 >> 2));
    const uint64_t s = std::hash<std::string_view>{}(key.text);
    return static_cast<size_t>(h1 ^ (s + kGolden + (h1 << 6) + (h1 >> 2)));
  }
  size_t operator()(const TextCacheKey& key) const {
    return (*this)(TextCacheKeyView{key.font, key.tabWidth, key.text});
  }
};

struct TextCacheKeyEqual {
  using is_transparent = void;
  static TextCacheKeyView view(const TextCacheKey& key) { return {key.font, key.tabWidth, key.text}; }
  static TextCacheKeyView view(const TextCacheKeyView& key) { return key; }
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const {
    const TextCacheKeyView x = view(a), y = view(b);
    return x.font == y.font && x.tabWidth == y.tabWidth && x.text == y.text;
  }
};

// Where a lookup of one cache found its key. Handing it to the next lookup of the same cache lets a key
// that is asked for again (the same text drawn frame after frame) be compared where it was instead of
// hashed; a spot from before the cache last rotated or cleared is ignored.
struct TextCacheSpot {
  const void* entry = nullptr;
  uint64_t generation = 0;
};

template <typename Value>
class TwoGenerationCache {
 public:
  explicit TwoGenerationCache(size_t limit) : limit_(limit) {}

  // The value of key, computed by make() on a miss; the reference stays valid until this cache changes.
  // `spot`, when given, is tried first and then set to where the key is.
  template <typename Make>
  Value& lookup(const TextCacheKeyView& key, Make make, uint64_t* hits, uint64_t* misses,
                TextCacheSpot* spot = nullptr) {
    if (spot != nullptr) {
      if (Value* value = atSpot(key, *spot, hits)) return *value;
    }
    if (current_.size() > limit_) {
      previous_ = std::move(current_);
      current_.clear();
      ++generation_;
    }
    auto place = current_.find(key);
    if (place != current_.end()) {
      if (hits != nullptr) ++*hits;
    } else if (auto old = previous_.find(key); old != previous_.end()) {
      if (hits != nullptr) ++*hits;
      place = current_.emplace(TextCacheKey{key.font, key.tabWidth, std::string(key.text)}, old->second).first;
    } else {
      if (misses != nullptr) ++*misses;
      place = current_.emplace(TextCacheKey{key.font, key.tabWidth, std::string(key.text)}, make()).first;
    }
    if (spot != nullptr) *spot = {&*place, generation_};
    return place->second;
  }

  // The value of key when `spot` holds it, counted as a hit; null when not, or when the next lookup is to
  // rotate the generations first.
  Value* atSpot(const TextCacheKeyView& key, const TextCacheSpot& spot, uint64_t* hits) {
    if (spot.generation != generation_ || current_.size() > limit_) return nullptr;
    auto* entry = static_cast<typename Map::value_type*>(const_cast<void*>(spot.entry));
    if (!TextCacheKeyEqual{}(entry->first, key)) return nullptr;
    if (hits != nullptr) ++*hits;
    return &entry->second;
  }

  void clear() {
    current_.clear();
    previous_.clear();
    ++generation_;
  }
  size_t currentSize() const { return current_.size(); }

 private:
  using Map = std::unordered_map<TextCacheKey, Value, TextCacheKeyHash, TextCacheKeyEqual>;
  size_t limit_;
  uint64_t generation_ = 1;  // entries of current_ keep their addresses until it changes
  Map current_;
  Map previous_;
};
