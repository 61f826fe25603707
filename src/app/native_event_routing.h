// What one SDL event becomes: positional values for the script when it belongs to the main workspace
// window (or to nobody, like "quit"), a WindowEvent queued on its window when another registered window is
// its target, and nothing for unregistered windows and types the scripts do not see.
#pragma once

#include <SDL3/SDL_events.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

struct ScriptValue {
  enum class Kind : uint8_t { Text, KeyName, Integer, Number };
  Kind kind = Kind::Integer;
  std::string_view text;  // Text: a constant or SDL's own buffer, valid until the next poll
  int64_t integer = 0;
  double number = 0.0;
};

// The values of one event for the script, first the event's name.
class ScriptEvent {
 public:
  static constexpr size_t kMaxValues = 6;

  void clear();
  ScriptEvent& text(std::string_view value);
  ScriptEvent& keyName(std::string name);
  ScriptEvent& integer(int64_t value);
  ScriptEvent& number(double value);

  std::span<const ScriptValue> values() const { return {values_.data(), count_}; }
  const std::string& storedKeyName() const { return keyName_; }

 private:
  ScriptValue& append(ScriptValue::Kind kind);

  std::array<ScriptValue, kMaxValues> values_{};
  size_t count_ = 0;
  std::string keyName_;
};

// True when the application exists and the SDL window is its registered main workspace window.
bool isMainWorkspaceWindow(uint32_t sdlWindowId);

// The modifiers held when the first event was polled; computed from the key state on the first call.
uint16_t& pendingStartupModifiers();

// Handles one event; true when it gives the script values, which are then in `values`.
bool routeNativeEvent(const SDL_Event& event, ScriptEvent& values);
