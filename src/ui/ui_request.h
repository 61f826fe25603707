// The structural changes that UI work queues instead of applying, replayed when the outermost UI-work scope
// ends. Each kind carries plain words only, so requests are copied bit for bit.
#pragma once

#include <cstdint>
#include <type_traits>
#include <variant>

#include "ui/ui_types.h"

struct DestroyFormRequest {
  ui::FormHandle form;
};
struct AttachToWindowRequest {
  uint64_t window = 0;
  ui::FormHandle form;
};
struct AttachToPaneRequest {
  NodeHandle pane;
  ui::FormHandle form;
};
struct DetachFromWindowRequest {
  uint64_t window = 0;
};
struct DetachFromPaneRequest {
  NodeHandle pane;
};
struct SetWindowVisibleRequest {
  uint64_t window = 0;
  bool visible = false;
};

using UiRequest = std::variant<DestroyFormRequest, AttachToWindowRequest, AttachToPaneRequest, DetachFromWindowRequest,
                               DetachFromPaneRequest, SetWindowVisibleRequest>;
static_assert(std::is_trivially_copyable_v<UiRequest>);

// What an immediate structural operation came to: done, refused (the message says why), or refused because
// a frame is being drawn, which ends the replay of queued requests.
class UiStatus {
 public:
  enum Code : uint8_t { Done, Refused, RendererBusy };
  constexpr UiStatus(Code code) : code_(code) {}  // NOLINT: implicit from its codes
  constexpr explicit operator bool() const { return code_ == Done; }
  constexpr Code code() const { return code_; }

 private:
  Code code_;
};
