// The structural changes that UI work queues instead of applying, replayed when the outermost UI-work scope
// ends. Each kind carries plain words only, so requests are copied bit for bit.
#pragma once

#include <cstdint>
#include <optional>
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
struct SetPaneCollapsedRequest {
  ui::FormHandle form;
  NodeHandle pane;
  bool collapsed = false;
};
// The control flags that scripts set one at a time.
enum class ControlFlag : uint8_t { Enabled = 0, Visible = 1, TabStop = 2 };
template <ControlFlag Flag>
struct SetControlFlagRequest {
  ui::FormHandle form;
  NodeHandle control;
  bool value = false;
};
using SetControlEnabledRequest = SetControlFlagRequest<ControlFlag::Enabled>;
using SetControlVisibleRequest = SetControlFlagRequest<ControlFlag::Visible>;
using SetControlTabStopRequest = SetControlFlagRequest<ControlFlag::TabStop>;

// A sized overlay: shown at {x, y} relative to its form's origin with the given size, or hidden.
struct OverlayOptions {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  bool show = false;
};
struct ShowOverlayRequest {
  ui::FormHandle form;
  NodeHandle control;
  OverlayOptions options;
};

// A popup beside its anchor: the anchor's rectangle (or one relative to it), the wanted size (0 takes the
// measured size), the gap and the side (0 below, 1 right).
struct AnchoredOverlayOptions {
  std::optional<ui::Rect> anchorBounds;
  ui::Size size;
  int32_t gap = 0;
  uint32_t position = 0;
};
struct ShowAnchoredOverlayRequest {
  ui::FormHandle form;
  NodeHandle control;
  NodeHandle anchor;
  AnchoredOverlayOptions options;
};

struct SetWindowVisibleRequest {
  uint64_t window = 0;
  bool visible = false;
};

using UiRequest =
    std::variant<DestroyFormRequest, AttachToWindowRequest, AttachToPaneRequest, DetachFromWindowRequest,
                 DetachFromPaneRequest, SetPaneCollapsedRequest, SetControlEnabledRequest, SetControlVisibleRequest,
                 SetControlTabStopRequest, ShowOverlayRequest, ShowAnchoredOverlayRequest, SetWindowVisibleRequest>;
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
