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

template <typename Value>
class TwoGenerationCache {
 public:
  explicit TwoGenerationCache(size_t limit) : limit_(limit) {}

  // The value of key, computed by make() on a miss; the reference stays valid until this cache changes.
  template <typename Make>
  Value& lookup(const TextCacheKeyView& key, Make make, uint64_t* hits, uint64_t* misses) {
    if (current_.size() > limit_) {
      previous_ = std::move(current_);
      current_.clear();
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
    return place->second;
  }

  void clear() {
    current_.clear();
    previous_.clear();
  }

 private:
  using Map = std::unordered_map<TextCacheKey, Value, TextCacheKeyHash, TextCacheKeyEqual>;
  size_t limit_;
  Map current_;
  Map previous_;
};
