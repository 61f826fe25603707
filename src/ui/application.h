// The one UI host object of the process. It owns the form table (forms behind generational handles), the
// window registry, the UI-work scope with its deferred requests, the pending window closes, each window's
// input record and each window's overlay layer. Start-up installs it and the at-exit teardown destroys it;
// code outside the UI host reaches its registry through currentWindowRegistry().
//
// Host operations take the caller's error string last, empty it on entry, make their checks before the
// first change, and on failure return false (or nothing) with one fixed message; they do not throw for a
// refusal. Queries answer nothing for stale handles, without a message.
//
// Controls and lifecycles may create forms during UI work, and destroy forms and close windows outside it:
// no slot, FormModel*, iterator or WindowInputState& is kept across a call into a control or a lifecycle;
// handles are checked again after such calls, and windows are walked from copies of their ids.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/control_event.h"
#include "ui/deferred_callback.h"
#include "ui/form_lifecycle.h"
#include "ui/form_model.h"
#include "ui/ui_request.h"
#include "ui/ui_types.h"
#include "ui/window_defs.h"

class WindowRegistry;
class UpdateBatch;
class OverlayLayer;
struct PendingFocus;
struct PendingCapture;

namespace ui {
class DrawList;
}

enum class FormHostKind : uint8_t { Window = 0, Pane = 1 };

// Where a form is shown: a window (by id) or a pane of another form.
struct FormHost {
  uint64_t window = 0;
  NodeHandle pane;
  FormHostKind kind = FormHostKind::Window;
  bool attached = false;
  bool operator==(const FormHost&) const = default;
};

// One entry of the form table. The generation starts at 1 and grows when the slot's form is destroyed.
struct FormSlot {
  uint64_t generation = 1;
  std::unique_ptr<FormModel> form;  // null while the slot is free
  FormHost host;
  std::unique_ptr<ui::FormLifecycle> lifecycle;
  std::optional<NodeHandle> initialFocus;
};

// What hit testing a form found: whether the point lies inside it, and the control there, if one takes it.
struct FormHit {
  bool inside = false;
  std::optional<ControlRef> control;
};

// A control offered to keyboard navigation with its key: its tab order, then its place in the walk.
struct FocusCandidate {
  ControlRef control;
  uint32_t tabOrder = 0;
  uint64_t ordinal = 0;
};

// A lifecycle to complete when a window closes, with its result.
struct LifecycleCompletion {
  ui::FormHandle form;
  std::string result;
};

class Application {
 public:
  Application();
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  WindowRegistry& windowRegistry();
  UpdateBatch& updateBatch();
  std::optional<uint64_t> createWindow(const WindowCreateInfo& info, std::string& error);

  // --- Form table (application.cpp) ---
  // Places a new form in the most recently freed slot, or a new slot of generation 1.
  ui::FormHandle createForm(FormSpec settings);
  FormSlot* findForm(const ui::FormHandle& form);
  FormModel* formModel(const ui::FormHandle& form);
  bool isFormValid(const ui::FormHandle& form) const;
  size_t formSlotCount() const;
  bool isUiWorkActive() const;
  // Runs the callback at once outside UI work, else after the scope's deferred requests.
  void defer(ui::DeferredCallback callback);
  bool setWindowVisible(uint64_t window, bool visible, std::string& error);
  UiStatus setVisibleWindowDeferred(uint64_t window, bool visible, std::string& error);
  bool setWindowVisibleNow(uint64_t window, bool visible, std::string& error);

  // Window marks: during UI work the batch's marks, else applied to an existing window at once.
  void markFormRelayout(const ui::FormHandle& form);
  void markWindowRelayout(uint64_t window);
  void markWindowRedraw(uint64_t window);
  void markWindowRedrawOnly(uint64_t window);

  // --- Walks over nested forms (form_tree_walks.cpp) ---
  // The window that finally shows the form, following pane hosts.
  std::optional<uint64_t> windowOfForm(const ui::FormHandle& form) const;
  std::optional<ui::FormHandle> formContainingNode(const NodeHandle& node) const;
  // Like windowOfForm, with every host pane on the way shown in its form.
  bool isFormShownIn(const ui::FormHandle& form, uint64_t window) const;
  // Whether `outer` is `inner` or reached by following inner's pane hosts upward.
  bool isFormInside(const ui::FormHandle& inner, const ui::FormHandle& outer) const;
  // Whether attaching `child` into a pane of `parent` keeps forms nested at most 64 levels.
  bool fitsNestingLimit(const ui::FormHandle& parent, const ui::FormHandle& child) const;
  ui::Size measureFormTree(const ui::FormHandle& form, const ui::Constraints& constraints);
  void arrangeNestedForms(const ui::FormHandle& form, const ui::Rect& rect);
  void drawNestedForms(const ui::FormHandle& form, ui::DrawList& list);
  void propagatePointer(const ui::FormHandle& form, const PointerPosition& pointer, const ui::FormHandle& target);
  // Appends {form, stored result or reason} for the form and the forms nested in its panes, nested first.
  void collectLifecycles(const ui::FormHandle& form, const std::string& reason, size_t budget,
                         std::vector<LifecycleCompletion>& out);

  // --- UI work (deferred_replay.cpp) ---
  // Replays the queued requests and pending focus and capture changes, at most 64 passes; the text of a
  // fatal error, which leaves the batch empty and every window marked for a full repaint.
  std::optional<std::string> runDeferredRequests();

  // --- Attachment, detachment and destruction (form_attachment.cpp, form_destruction.cpp) ---
  bool requestAttachForm(uint64_t window, const ui::FormHandle& form, std::string& error);
  bool requestAttachForm(const NodeHandle& pane, const ui::FormHandle& form, std::string& error);
  bool attachForm(uint64_t window, const ui::FormHandle& form, std::string& error);
  bool attachForm(const NodeHandle& pane, const ui::FormHandle& form, std::string& error);
  UiStatus attachFormToWindow(uint64_t window, const ui::FormHandle& form, std::string& error);
  UiStatus attachFormToPane(const NodeHandle& pane, const ui::FormHandle& form, std::string& error);
  bool requestDetachForm(uint64_t window, std::string& error);
  bool requestDetachForm(const NodeHandle& pane, std::string& error);
  bool detachForm(uint64_t window, std::string& error);
  bool detachForm(const NodeHandle& pane, std::string& error);
  UiStatus detachFormFromWindow(uint64_t window, std::string& error);
  UiStatus detachFormFromPane(const NodeHandle& pane, std::string& error);
  bool requestDestroyForm(const ui::FormHandle& form, std::string& error);
  bool destroyForm(const ui::FormHandle& form, std::string& error);
  UiStatus destroyFormImmediately(const ui::FormHandle& form, std::string& error);
  // The lowest-index form attached directly to the window.
  std::optional<ui::FormHandle> formOfWindow(uint64_t window) const;
  std::optional<ui::FormHandle> formOfPane(const NodeHandle& pane) const;
  // All zero for a stale handle.
  FormHost formHost(const ui::FormHandle& form) const;
  std::optional<uint32_t> formType(const ui::FormHandle& form) const;
  bool bindLifecycle(const ui::FormHandle& form, std::unique_ptr<ui::FormLifecycle> lifecycle, std::string& error);
  // Remembers a window to close after the current UI work; each id once.
  void queueWindowClose(uint64_t window);

  // --- Per-frame entries of a form root (form_frame.cpp) ---
  bool updatePointer(const ui::FormHandle& form, const PointerPosition& pointer);
  bool resizeForm(const ui::FormHandle& form, int32_t width, int32_t height);
  void layoutForm(const ui::FormHandle& form, int32_t width, int32_t height);
  bool drawForm(const ui::FormHandle& form, ui::DrawList& list);

  // --- Window processing and closing (window_processing.cpp, window_closing.cpp) ---
  // Hands every queued event of every root window to its root, one event per UI-work scope, then draws
  // the root windows and closes the windows whose close was asked for; false (nothing done) during UI work.
  bool processWindows();
  // Closes the window and every window it owns, completing the lifecycles of the forms shown in them; only
  // recorded during UI work.
  bool closeWindow(uint64_t window);
  bool requestFormClose(const ui::FormHandle& form, std::string result, std::string& error);
  bool requestWindowClose(const ui::FormHandle& form, std::string& error);

  // --- Event routing (event_routing.cpp, pointer_targets.cpp) ---
  bool dispatchEventInScope(const ui::FormHandle& form, const WindowEvent& event);
  bool dispatchEvent(const ui::FormHandle& rootForm, const WindowEvent& event);
  EventResult deliverControlEvent(uint64_t window, const ControlRef& control, ControlEvent event);
  // Sets the cursor at once; records focus and capture requests for the end of the UI work.
  void applyEventResult(uint64_t window, const ControlRef& control, const ControlEvent& event,
                        const EventResult& result);
  // Hands the event to the forms' handlers from `startForm` up through the pane hosts, at most to the root.
  bool deliverFormEvent(const ui::FormHandle& rootForm, const ui::FormHandle& startForm, const ControlEvent& event);
  // The window's overlays from the top down, then the form tree.
  std::optional<ControlRef> hitTest(const ui::FormHandle& rootForm, double x, double y);
  FormHit hitTestForm(const ui::FormHandle& form, double x, double y, size_t budget);
  void updateHover(uint64_t window, const std::optional<ControlRef>& control, double x, double y);
  void releaseCapture(uint64_t window);
  void applyPendingCapture(const PendingCapture& capture);
  // Removes every popup of the window; true when one was removed.
  bool closeAnchoredOverlays(uint64_t window);
  // A press outside every popup and its anchor closes the popups; true when it did.
  bool dismissOverlayOnPress(uint64_t window, double x, double y);
  // Popups are open and the point lies outside every one of them and their anchors.
  bool isPointerOutsideOverlays(uint64_t window, double x, double y) const;
  // The control of the window's topmost popup.
  std::optional<ControlRef> topOverlayControl(uint64_t window) const;
  bool isControlShownIn(const ControlRef& control, uint64_t window) const;
  bool acceptsPointer(const ControlRef& control, uint64_t window) const;
  std::optional<ControlRef> focusedControl(uint64_t window) const;
  std::optional<ControlRef> hoveredControl(uint64_t window) const;
  std::optional<ControlRef> capturedControl(uint64_t window) const;
  // The window's input record, created on first use. Do not keep the reference across control calls.
  WindowInputState& windowInputState(uint64_t window);
  const WindowInputState* findWindowInputState(uint64_t window) const;

  // --- Focus and giving up input state (focus.cpp, input_release.cpp) ---
  bool canFocusControl(const ControlRef& control, uint64_t window) const;
  bool setFocus(uint64_t window, const std::optional<ControlRef>& control);
  // The next (or previous) control in the root form's navigation order, wrapping around.
  std::optional<ControlRef> moveFocus(const ui::FormHandle& rootForm, const std::optional<ControlRef>& current,
                                      bool backward);
  void applyPendingFocus(const PendingFocus& focus);
  void refreshInputStates();
  void revalidateInputStates();
  void resetWindowInput(uint64_t window, bool deactivate);
  void releaseInputOfForm(const ui::FormHandle& form);
  // The form leaves its host after its controls gave up their input; when their handlers gave it another host,
  // that one stands and nothing more is done.
  void unhostForm(const ui::FormHandle& form, bool clearWindow);
  // The form leaves whatever host it has, without notifying anything: its window loses the root (painted
  // black with clearWindow), its pane is emptied.
  void dropHost(const ui::FormHandle& form, bool clearWindow);
  // Native text input is on exactly while the window is active and its focus wants text input.
  void updateNativeTextInput(uint64_t window);

  // --- Overlays (overlays.cpp, overlay_placement.cpp) ---
  OverlayLayer* overlayLayer(uint64_t window);
  OverlayLayer& overlayLayerFor(uint64_t window);
  void removeOverlaysOfForm(const ui::FormHandle& form);
  void pruneOverlays();
  void layoutOverlays(uint64_t window);
  void drawOverlays(uint64_t window, ui::DrawList& list);
  // Shows or hides a sized overlay; queued during UI work (overlay_requests.cpp).
  bool setOverlay(const ui::FormHandle& form, const NodeHandle& control, const OverlayOptions& options,
                  std::string& error);
  UiStatus showOverlay(const ui::FormHandle& form, const NodeHandle& control, const OverlayOptions& options,
                       std::string& error);
  // Shows a popup beside an ordinary control or beside a parent popup; queued during UI work.
  bool setAnchoredOverlay(const ui::FormHandle& form, const NodeHandle& control, const NodeHandle& anchor,
                          const AnchoredOverlayOptions& options, std::string& error);
  UiStatus showAnchoredOverlay(const ui::FormHandle& form, const NodeHandle& control, const NodeHandle& anchor,
                               const AnchoredOverlayOptions& options, std::string& error);
  bool isOverlayVisible(const ui::FormHandle& form, const NodeHandle& control) const;

  // --- Building and querying form trees, control marks and focus (node_operations.cpp) ---
  // The tree edits are refused during UI work; a successful link marks the form's window for layout.
  bool setFormBackground(const ui::FormHandle& form, uint32_t color, std::string& error);
  std::optional<NodeHandle> createLayout(const ui::FormHandle& form, const LayoutSpec& settings, std::string& error);
  std::optional<NodeHandle> createPane(const ui::FormHandle& form, const PaneSpec& settings, std::string& error);
  // Takes the control; a refused one is destroyed before the call returns.
  std::optional<NodeHandle> createControl(const ui::FormHandle& form, std::string_view name,
                                          std::unique_ptr<ui::Control> control, std::string& error);
  bool appendPane(const ui::FormHandle& form, const NodeHandle& layout, const NodeHandle& pane, std::string& error);
  bool setPaneLayout(const ui::FormHandle& form, const NodeHandle& pane, const NodeHandle& layout, std::string& error);
  bool attachControl(const ui::FormHandle& form, const NodeHandle& pane, const NodeHandle& control,
                     const ControlPlacement& placement, std::string& error);
  bool attachOverlayControl(const ui::FormHandle& form, const NodeHandle& control, std::string& error);
  std::optional<NodeHandle> rootLayout(const ui::FormHandle& form, std::string_view name) const;
  std::optional<NodeHandle> paneByName(const ui::FormHandle& form, std::string_view name) const;
  std::optional<NodeHandle> controlByName(const ui::FormHandle& form, std::string_view name) const;
  // The control's description, or the pane's bounds, when the node is one of the form.
  std::optional<ui::ControlDescription> isControlValid(const ui::FormHandle& form, const NodeHandle& control) const;
  std::optional<ui::Rect> isPaneValid(const ui::FormHandle& form, const NodeHandle& pane) const;
  bool invalidateControl(const ui::FormHandle& form, const NodeHandle& control, std::string& error);
  bool redrawControl(const ui::FormHandle& form, const NodeHandle& control, std::string& error);
  bool relayoutControl(const ui::FormHandle& form, const NodeHandle& control, std::string& error);
  // The IME area of the focused control, in control-local DIPs.
  bool setControlTextInputArea(const ui::FormHandle& form, const NodeHandle& control, const ui::Rect& area,
                               int32_t cursor, std::string& error);
  bool setInitialFocus(const ui::FormHandle& form, const NodeHandle& control, std::string& error);
  // Moves the focus at once, or at the end of the UI work.
  bool focusControl(const ui::FormHandle& form, const NodeHandle& control, std::string& error);

  // --- Control state and pane collapse (control_state.cpp) ---
  // The request layer: queued during UI work, else applied at once.
  bool setControlEnabled(const ui::FormHandle& form, const NodeHandle& control, bool enabled, std::string& error);
  bool setControlVisible(const ui::FormHandle& form, const NodeHandle& control, bool visible, std::string& error);
  bool setControlTabStop(const ui::FormHandle& form, const NodeHandle& control, bool tabStop, std::string& error);
  bool setControlState(const ui::FormHandle& form, const NodeHandle& control, const ui::ControlDescription& state,
                       std::string& error);
  UiStatus applyControlState(const ui::FormHandle& form, const NodeHandle& control, const ui::ControlDescription& state,
                             std::string& error);
  bool requestSetFormPaneCollapsed(const ui::FormHandle& form, const NodeHandle& pane, bool collapsed,
                                   std::string& error);
  bool setFormPaneCollapsed(const ui::FormHandle& form, const NodeHandle& pane, bool collapsed, std::string& error);
  UiStatus applyPaneCollapsed(const ui::FormHandle& form, const NodeHandle& pane, bool collapsed, std::string& error);

 private:
  struct State;
  // The slot of a valid handle, else null.
  const FormSlot* slotOf(const ui::FormHandle& form) const;
  FormSlot* slotOf(const ui::FormHandle& form);
  ui::FormHandle handleOfSlot(size_t index) const;
  bool frameRendering() const;
  std::optional<ui::FormHandle> hostFormOfPaneForm(const ui::FormHandle& form) const;
  // The live form holding the pane, when the pane exists.
  std::optional<ui::FormHandle> paneOwner(const NodeHandle& pane) const;
  bool isDialogWindowMismatch(uint64_t window, const ui::FormHandle& form, std::string& error) const;
  int nestedFormDepth(const ui::FormHandle& form, std::vector<ui::FormHandle>& visiting) const;
  ui::Size measureFormTree(const ui::FormHandle& form, const ui::Constraints& constraints,
                           std::vector<ui::FormHandle>& visiting);
  FormModel* editableForm(const ui::FormHandle& form, const char* duringUiWork, std::string& error);
  bool routePointerEvent(const ui::FormHandle& rootForm, uint64_t window, const ControlEvent& event);
  bool routeKeyEvent(const ui::FormHandle& rootForm, uint64_t window, const ControlEvent& event);
  // Delivers the event and applies the control's answer; its handled flag.
  bool deliverAndApply(uint64_t window, const ControlRef& control, const ControlEvent& event);
  void focusOnPress(uint64_t window, const std::optional<ControlRef>& target);
  void moveFocusFromKey(const ui::FormHandle& rootForm, uint64_t window, bool backward);
  void collectFocusCandidates(const ui::FormHandle& form, size_t budget, uint64_t& ordinal,
                              std::vector<FocusCandidate>& out) const;
  static std::optional<FocusCandidate> findFocusKey(const std::vector<FocusCandidate>& candidates,
                                                    const ControlRef& control);
  // Removes the window's popups from its layer without the refresh that follows; how many went.
  size_t removePopups(uint64_t window);
  UiStatus checkAnchor(const ui::FormHandle& form, const NodeHandle& control, const NodeHandle& anchor, uint64_t window,
                       std::string& error) const;
  UiStatus checkOverlayTarget(const ui::FormHandle& form, const NodeHandle& control, std::string& error) const;
  UiStatus checkPopup(const ui::FormHandle& form, const NodeHandle& control, const NodeHandle& anchor,
                      const AnchoredOverlayOptions& options, uint64_t& window, std::string& error) const;
  UiStatus applyControlFlag(const ui::FormHandle& form, const NodeHandle& control, ControlFlag flag, bool value,
                            std::string& error);
  bool requestControlFlag(const ui::FormHandle& form, const NodeHandle& control, ControlFlag flag, bool value,
                          std::string& error);
  UiStatus replay(const UiRequest& request, std::string& error);
  void failReplay();
  bool attachedAsExpected(uint64_t window, const ui::FormHandle& form) const;
  bool attachedAsExpected(const NodeHandle& pane, const ui::FormHandle& form) const;
  std::vector<LifecycleCompletion> collectCompletions(const std::vector<uint64_t>& closing, uint64_t closed);
  void completeLifecycles(const std::vector<LifecycleCompletion>& completions);

  std::unique_ptr<State> state_;
};

// The process-wide application: null before start-up installs it and after the teardown takes it.
Application* currentApplication();
// Installs a new application, destroying one that is already installed first.
void installApplication(std::unique_ptr<Application> application);
std::unique_ptr<Application> takeApplication();

// The registry of the installed application; valid only while currentApplication() is set.
WindowRegistry& currentWindowRegistry();
