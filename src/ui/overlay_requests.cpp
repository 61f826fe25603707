// Showing and hiding overlays: sized overlays at a rectangle of their form, and popups beside an ordinary
// control of their form or beside a parent popup (popup chains). The request layers queue during UI work
// after the checks that can be made at once; the show operations are also the replay targets. A root popup
// replaces every popup of its window, a chained one the other children of its parent.
#include "ui/application_state.h"

namespace {

constexpr const char* kNotVisible = "form must be visible in a window before showing an overlay";

}  // namespace

UiStatus Application::checkOverlayTarget(const ui::FormHandle& form, const NodeHandle& control,
                                         std::string& error) const {
  const FormSlot* slot = slotOf(form);
  if (slot == nullptr) return refuseWith(error, "form does not exist");
  if (!slot->form->isOverlayControl(control)) {
    return refuseWith(error, "control does not belong to this form's overlay layer");
  }
  return UiStatus::Done;
}

bool Application::setOverlay(const ui::FormHandle& form, const NodeHandle& control, const OverlayOptions& options,
                             std::string& error) {
  error.clear();
  if (!state_->batch.isActive()) return bool(showOverlay(form, control, options, error));
  if (!checkOverlayTarget(form, control, error)) return false;
  state_->batch.queueRequest(ShowOverlayRequest{form, control, options});
  return true;
}

UiStatus Application::showOverlay(const ui::FormHandle& form, const NodeHandle& control, const OverlayOptions& options,
                                  std::string& error) {
  error.clear();
  if (frameRendering()) {
    return refuseWith(error, "overlay cannot change while a frame is rendering", UiStatus::RendererBusy);
  }
  if (const UiStatus checked = checkOverlayTarget(form, control, error); !checked) return checked;
  const std::optional<uint64_t> window = windowOfForm(form);
  if (!options.show && !window) return UiStatus::Done;
  if (!window || !state_->windows.exists(*window) || !isFormShownIn(form, *window)) {
    return refuseWith(error, kNotVisible);
  }
  const ControlRef key{form, control};
  if (options.show) {
    overlayLayerFor(*window).showSized(key, {options.x, options.y, options.width, options.height});
  } else if (OverlayLayer* layer = overlayLayer(*window)) {
    layer->erase(key);
  }
  layoutOverlays(*window);
  refreshInputStates();
  pruneOverlays();
  updateNativeTextInput(*window);
  markWindowRedraw(*window);
  return UiStatus::Done;
}

bool Application::setAnchoredOverlay(const ui::FormHandle& form, const NodeHandle& control, const NodeHandle& anchor,
                                     const AnchoredOverlayOptions& options, std::string& error) {
  error.clear();
  if (!state_->batch.isActive()) return bool(showAnchoredOverlay(form, control, anchor, options, error));
  if (!checkOverlayTarget(form, control, error)) return false;
  if (!isControlValid(form, anchor)) return failWith(error, "anchor must be a control in the same form");
  if (options.size.width < 0 || options.size.height < 0 || options.gap < 0) {
    return failWith(error, "anchored overlay size and gap must be non-negative");
  }
  state_->batch.queueRequest(ShowAnchoredOverlayRequest{form, control, anchor, options});
  return true;
}

// A parent popup must be an open, visible and enabled popup of the window, and not the popup itself or one
// of its children; an ordinary anchor must be a shown, visible and enabled control of the form.
UiStatus Application::checkAnchor(const ui::FormHandle& form, const NodeHandle& control, const NodeHandle& anchor,
                                  uint64_t window, std::string& error) const {
  const FormModel& model = *slotOf(form)->form;
  if (!model.isOverlayControl(anchor)) {
    if (model.controlAcceptsPointer(anchor)) return UiStatus::Done;
    return refuseWith(error, "anchor must be a visible enabled control in the same form");
  }
  const auto found = state_->overlayLayers.find(window);
  const ControlRef anchorKey{form, anchor};
  if (found == state_->overlayLayers.end() || !found->second.isAnchored(anchorKey) ||
      !model.overlayControlAcceptsPointer(anchor)) {
    return refuseWith(error, "popup anchor must be a visible enabled parent popup");
  }
  if (anchor == control || found->second.hasAncestor(anchorKey, ControlRef{form, control})) {
    return refuseWith(error, "popup cannot be anchored to itself or its child");
  }
  return UiStatus::Done;
}

// Everything a popup needs before it is shown; `window` receives the window that shows the form.
UiStatus Application::checkPopup(const ui::FormHandle& form, const NodeHandle& control, const NodeHandle& anchor,
                                 const AnchoredOverlayOptions& options, uint64_t& window, std::string& error) const {
  if (frameRendering()) {
    return refuseWith(error, "overlay cannot change while a frame is rendering", UiStatus::RendererBusy);
  }
  if (const UiStatus checked = checkOverlayTarget(form, control, error); !checked) return checked;
  if (options.size.width < 0 || options.size.height < 0 || options.gap < 0) {
    return refuseWith(error, "anchored overlay size and gap must be non-negative");
  }
  const std::optional<uint64_t> shown = windowOfForm(form);
  if (!shown || !state_->windows.exists(*shown) || !isFormShownIn(form, *shown)) return refuseWith(error, kNotVisible);
  window = *shown;
  return checkAnchor(form, control, anchor, window, error);
}

// Measuring runs the control, which outside UI work may destroy the form, close the window or change the
// tree: nothing is held across it and every check is made again after it. From there on no control runs
// until the layer has changed.
UiStatus Application::showAnchoredOverlay(const ui::FormHandle& form, const NodeHandle& control,
                                          const NodeHandle& anchor, const AnchoredOverlayOptions& options,
                                          std::string& error) {
  error.clear();
  uint64_t window = 0;
  if (const UiStatus checked = checkPopup(form, control, anchor, options, window, error); !checked) return checked;
  ui::Size size = options.size;
  if (size.width == 0 || size.height == 0) {
    const ui::Size limit = state_->windows.logicalSize(window).value_or(ui::Size{});
    std::optional<ui::Size> measured;
    {
      const ui::RenderContextScope context(&state_->windows.textContext(window));
      measured = formModel(form)->measureOverlayControl(control, {0, 0, limit.width, limit.height});
    }
    uint64_t after = 0;
    if (const UiStatus checked = checkPopup(form, control, anchor, options, after, error); !checked) return checked;
    if (after != window) return refuseWith(error, kNotVisible);
    if (!measured) return refuseWith(error, "overlay control could not be measured");
    if (size.width == 0) size.width = measured->width;
    if (size.height == 0) size.height = measured->height;
  }
  if (size.width < 1 || size.height < 1) return refuseWith(error, "anchored overlay must resolve to a positive size");

  const ControlRef anchorKey{form, anchor};
  size_t closed = 0;
  if (formModel(form)->isOverlayControl(anchor)) {
    overlayLayerFor(window).closeChildren(anchorKey);
  } else {
    closed = removePopups(window);
  }
  overlayLayerFor(window).showAnchored({form, control}, anchorKey, options.anchorBounds, size, options.gap,
                                       options.position);
  layoutOverlays(window);
  refreshInputStates();
  if (closed > 0) pruneOverlays();
  updateNativeTextInput(window);
  markWindowRedraw(window);
  return UiStatus::Done;
}

bool Application::isOverlayVisible(const ui::FormHandle& form, const NodeHandle& control) const {
  if (slotOf(form) == nullptr) return false;
  const std::optional<uint64_t> window = windowOfForm(form);
  const auto found = window ? state_->overlayLayers.find(*window) : state_->overlayLayers.end();
  return found != state_->overlayLayers.end() && found->second.contains({form, control});
}
