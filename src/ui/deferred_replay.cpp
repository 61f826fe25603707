// The replay of the requests queued during UI work, run by the end of the outermost scope while the scope
// is still active, so that what the replayed operations queue goes back into the batch for the next pass.
// A request refused for any reason but a frame being drawn is dropped silently; that one ends the replay.
#include "ui/application_state.h"

namespace {

constexpr int kMaxReplayPasses = 64;

template <typename... Visitors>
struct Overloaded : Visitors... {
  using Visitors::operator()...;
};
template <typename... Visitors>
Overloaded(Visitors...) -> Overloaded<Visitors...>;

}  // namespace

UiStatus Application::replay(const UiRequest& request, std::string& error) {
  return std::visit(
      Overloaded{
          [&](const DestroyFormRequest& r) { return destroyFormImmediately(r.form, error); },
          [&](const AttachToWindowRequest& r) { return attachFormToWindow(r.window, r.form, error); },
          [&](const AttachToPaneRequest& r) { return attachFormToPane(r.pane, r.form, error); },
          [&](const DetachFromWindowRequest& r) { return detachFormFromWindow(r.window, error); },
          [&](const DetachFromPaneRequest& r) { return detachFormFromPane(r.pane, error); },
          [&](const SetPaneCollapsedRequest& r) { return applyPaneCollapsed(r.form, r.pane, r.collapsed, error); },
          [&]<ControlFlag Flag>(const SetControlFlagRequest<Flag>& r) {
            return applyControlFlag(r.form, r.control, Flag, r.value, error);
          },
          [&](const ShowOverlayRequest& r) { return showOverlay(r.form, r.control, r.options, error); },
          [&](const ShowAnchoredOverlayRequest& r) {
            return showAnchoredOverlay(r.form, r.control, r.anchor, r.options, error);
          },
          [&](const SetWindowVisibleRequest& r) { return setVisibleWindowDeferred(r.window, r.visible, error); },
      },
      request);
}

// Everything pending is dropped; input records are checked again silently and every window is repainted
// in full when the scope's marks are applied.
void Application::failReplay() {
  state_->batch.discardAll();
  revalidateInputStates();
  for (const WindowInfo& window : state_->windows.listWindows()) markWindowRedraw(window.id);
}

std::optional<std::string> Application::runDeferredRequests() {
  UpdateBatch& batch = state_->batch;
  std::string error;
  for (int pass = 0; pass < kMaxReplayPasses && batch.hasPending(); ++pass) {
    for (const UiRequest& request : batch.takeRequests()) {
      if (replay(request, error).code() == UiStatus::RendererBusy) {
        failReplay();
        return "deferred UI mutation reached an active renderer: " + error;
      }
    }
    if (const std::optional<PendingFocus> focus = batch.takePendingFocus()) applyPendingFocus(*focus);
    if (const std::optional<PendingCapture> capture = batch.takePendingCapture()) applyPendingCapture(*capture);
  }
  if (!batch.hasPending()) return std::nullopt;
  failReplay();
  return "UI operation exceeded 64 deferred cleanup rounds; remaining callback requests were discarded";
}
