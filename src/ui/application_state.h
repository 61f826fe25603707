// The state of the Application, shared by the files that implement its operations. Destroyed in reverse
// order: overlay layers, input records, pending closes, the batch, the window registry (its windows with
// their roots), the id index, the free list, then each slot's lifecycle and form.
#pragma once

#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "ui/application.h"
#include "ui/overlay_layer.h"
#include "ui/update_batch.h"
#include "ui/window_registry.h"

struct Application::State {
  explicit State(Application& owner) : batch(owner) {}

  std::deque<FormSlot> slots;                         // slot i holds the form of handle index i + 1; never shrinks
  std::vector<uint64_t> freeSlots;                    // 1-based indices, in the order they were freed
  std::unordered_map<uint64_t, size_t> slotOfFormId;  // a live form's model id -> its 0-based slot index
  WindowRegistry windows;
  UpdateBatch batch;
  std::vector<uint64_t> pendingClose;
  std::unordered_map<uint64_t, WindowInputState> inputStates;
  std::unordered_map<uint64_t, OverlayLayer> overlayLayers;
};

// The error convention of host operations: one fixed message and a false result or a refusal.
inline bool failWith(std::string& error, const char* message) {
  error = message;
  return false;
}

inline UiStatus refuseWith(std::string& error, const char* message, UiStatus::Code code = UiStatus::Refused) {
  error = message;
  return code;
}
