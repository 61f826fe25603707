// Pointer and keyboard routing through the pump: classification, hit testing with hover and capture,
// shielding by disabled controls, popups that swallow what happens outside them, and keys that go to the
// topmost popup, the focus and then up through the forms.
#include <gtest/gtest.h>

#include <algorithm>

#include "ui/overlay_layer.h"
#include "ui_host_fixture.h"

namespace {

using Kinds = std::vector<ControlEventKind>;
constexpr auto kEnter = ControlEventKind::PointerEnter;
constexpr auto kLeave = ControlEventKind::PointerLeave;
constexpr auto kMove = ControlEventKind::PointerMove;
constexpr auto kDown = ControlEventKind::PointerDown;
constexpr auto kUp = ControlEventKind::PointerUp;
constexpr auto kKeyDown = ControlEventKind::KeyDown;
constexpr auto kGained = ControlEventKind::FocusGained;

TEST(ClassifyWindowEvent, ButtonsComeFromTheTextOfEveryKind) {
  struct Case {
    const char* type;
    const char* text;
    ControlEventKind kind;
    int32_t button;
    const char* key;
  };
  const Case cases[] = {
      {"mousemove", "left", kMove, 1, ""}, {"keydown", "left", kKeyDown, 1, "left"},      {"mouseup", "x2", kUp, 5, ""},
      {"mousedown", "pen", kDown, 6, ""},  {"keyup", "", ControlEventKind::KeyUp, 0, ""},
  };
  for (const Case& c : cases) {
    WindowEvent event;
    event.type = c.type;
    event.text = c.text;
    const std::optional<ControlEvent> made = classifyWindowEvent(event);
    ASSERT_TRUE(made) << c.type;
    EXPECT_EQ(made->kind, c.kind) << c.type;
    EXPECT_EQ(made->button, c.button) << c.type;
    EXPECT_EQ(made->key, c.key) << c.type;
  }
  WindowEvent unknown;
  unknown.type = "MouseMove";
  EXPECT_FALSE(classifyWindowEvent(unknown)) << "types compare case-sensitively";
}

class EventRoutingTest : public UiHostTest {
 protected:
  void SetUp() override {
    id = window();
    shown = form();
    top = row(shown, 40, &topRef, focusable());
    bottom = row(shown, 40, &bottomRef, focusable());
  }

  // A popup below `anchor`, 50 x 30.
  void openPopup(const ControlRef& anchor, ControlRef& popup, FakeControl** made = nullptr) {
    auto control = std::make_unique<FakeControl>();
    if (made != nullptr) *made = control.get();
    std::string error;
    const std::optional<NodeHandle> node = app.createControl(shown, "", std::move(control), error);
    ASSERT_TRUE(node && app.attachOverlayControl(shown, *node, error)) << error;
    AnchoredOverlayOptions options;
    options.size = {50, 30};
    ASSERT_TRUE(app.setAnchoredOverlay(shown, *node, anchor.control, options, error)) << error;
    popup = {shown, *node};
  }

  uint64_t id = 0;
  ui::FormHandle shown;
  ControlRef topRef, bottomRef;
  FakeControl* top = nullptr;
  FakeControl* bottom = nullptr;
};

TEST_F(EventRoutingTest, ACaptureTakesTheReleaseWhileTheHoverFollowsTheHitTest) {
  show(id, shown);
  top->onEvent = [](const ControlEvent& event) {
    EventResult result;
    if (event.kind == kDown) result.capture = CaptureAction::Acquire;
    return result;
  };
  send(id, {pointer("mousemove", 5, 5), pointer("mousedown", 5, 5, "left")});
  EXPECT_EQ(top->last.x, 5.0);
  EXPECT_EQ(top->last.button, kButtonLeft);
  EXPECT_EQ(app.capturedControl(id), topRef);
  send(id, pointer("mousemove", 5, 60));
  EXPECT_EQ(app.hoveredControl(id), bottomRef);
  EXPECT_EQ(top->events.back(), kMove) << "the capture gets the moves";
  EXPECT_DOUBLE_EQ(top->last.y, 60.0);
  send(id, pointer("mouseup", 5, 60, "left"));
  EXPECT_EQ(top->events.back(), kUp);
  EXPECT_EQ(bottom->events, (Kinds{kEnter})) << "the control under the pointer only saw the hover";
  EXPECT_EQ(app.capturedControl(id), std::nullopt);
  EXPECT_EQ(mouse.captureCalls, (std::vector<bool>{true, false}));
}

// A press that captures the pointer and opens a popup: its release outside the popup and its anchor
// reaches nobody, yet still ends the capture.
TEST_F(EventRoutingTest, TheCapturingButtonsReleaseEndsTheCaptureAlsoOutsidePopups) {
  show(id, shown);
  ControlRef popup;
  openPopup(topRef, popup);
  send(id, event("keydown", "escape"));
  top->onEvent = [&](const ControlEvent& event) {
    EventResult result;
    if (event.kind != kDown) return result;
    AnchoredOverlayOptions options;
    options.size = {50, 30};
    std::string error;
    EXPECT_TRUE(app.setAnchoredOverlay(shown, popup.control, topRef.control, options, error)) << error;
    result.capture = CaptureAction::Acquire;
    return result;
  };
  send(id, pointer("mousedown", 5, 5, "left"));
  ASSERT_EQ(app.capturedControl(id), topRef);
  send(id, {pointer("mouseup", 100, 100, "middle"), pointer("mouseup", 100, 100, "left")});
  EXPECT_EQ(std::count(top->events.begin(), top->events.end(), kUp), 0) << "neither release reached the capture";
  EXPECT_EQ(app.capturedControl(id), std::nullopt);
  EXPECT_EQ(mouse.captureCalls, (std::vector<bool>{true, false}));
  EXPECT_TRUE(app.isOverlayVisible(shown, popup.control));
}

TEST_F(EventRoutingTest, ADisabledControlOnTopShieldsTheOneUnderIt) {
  ControlRef shieldRef;
  ui::ControlDescription disabled;
  disabled.enabled = false;
  FakeControl* shield = control(shown, model(shown).panes().front(), &shieldRef, disabled, {3, 3, 0, 0, 0, 0});
  show(id, shown);
  send(id, pointer("mousedown", 5, 5, "left"));
  EXPECT_TRUE(top->events.empty());
  EXPECT_TRUE(shield->events.empty()) << "disabled: hit, but it hears nothing";
  EXPECT_EQ(app.hoveredControl(id), std::nullopt);
  EXPECT_EQ(app.focusedControl(id), std::nullopt);
}

TEST_F(EventRoutingTest, KeysAreDroppedWhileTheWindowIsInactive) {
  initialFocus(shown, topRef);
  ASSERT_TRUE(attach(id, shown));
  send(id, event("keydown", "a"));
  send(id, {event("focusgained"), event("focuslost"), event("keydown", "b"), event("textinput", "c")});
  EXPECT_EQ(top->events, (Kinds{kGained, ControlEventKind::WindowActivated, ControlEventKind::WindowDeactivated}));
}

// The popup lies at {0, 40, 200, 30}, over the upper part of the bottom control.
TEST_F(EventRoutingTest, APressOutsideEveryPopupClosesThemAndReachesNobody) {
  show(id, shown);
  ControlRef popup;
  FakeControl* item = nullptr;
  openPopup(topRef, popup, &item);
  EXPECT_EQ(model(shown).controlBounds(popup.control), (ui::Rect{0, 40, 200, 30})) << "below, as wide as its anchor";
  send(id, {pointer("mousedown", 100, 60, "left"), pointer("mousedown", 5, 20, "left")});
  EXPECT_EQ(item->events, (Kinds{kEnter, kDown, kLeave}));
  EXPECT_EQ(top->last.kind, kDown);
  EXPECT_TRUE(app.isOverlayVisible(shown, popup.control)) << "presses on the popup and its anchor keep it";
  send(id, pointer("mousedown", 100, 75, "left"));
  EXPECT_FALSE(app.isOverlayVisible(shown, popup.control));
  EXPECT_TRUE(bottom->events.empty()) << "the closing press reaches nobody";
  EXPECT_EQ(app.hoveredControl(id), std::nullopt);
}

TEST_F(EventRoutingTest, MovesAndWheelsOutsideAPopupClearTheHover) {
  show(id, shown);
  ControlRef popup;
  FakeControl* item = nullptr;
  openPopup(topRef, popup, &item);
  send(id, pointer("mousemove", 10, 50));
  EXPECT_EQ(app.hoveredControl(id), popup);
  EXPECT_EQ(item->events, (Kinds{kEnter, kMove}));
  send(id, {pointer("mousemove", 100, 75), pointer("mousewheel", 100, 75)});
  EXPECT_EQ(app.hoveredControl(id), std::nullopt);
  EXPECT_EQ(item->events.back(), kLeave);
  EXPECT_TRUE(bottom->events.empty());
  EXPECT_TRUE(app.isOverlayVisible(shown, popup.control)) << "only a press closes popups";
}

TEST_F(EventRoutingTest, EscapeClosesPopupsFirstAndTheFocusNeverHearsTab) {
  show(id, shown);
  send(id, pointer("mousedown", 5, 5, "left"));
  ASSERT_EQ(app.focusedControl(id), topRef);
  ControlRef popup;
  FakeControl* item = nullptr;
  openPopup(topRef, popup, &item);
  item->onEvent = [](const ControlEvent& event) { return event.key == "a" ? handled() : EventResult{}; };
  std::vector<std::string> keys;
  top->onEvent = [&](const ControlEvent& event) {
    keys.push_back(event.kind == kKeyDown ? event.key : "kind " + std::to_string(int(event.kind)));
    return EventResult{};
  };
  send(id, {event("keydown", "a"), event("keydown", "b"), event("keydown", "escape")});
  EXPECT_EQ(item->events, (Kinds{kKeyDown, kKeyDown})) << "the topmost popup hears keys first";
  EXPECT_FALSE(app.isOverlayVisible(shown, popup.control));
  send(id, {event("keydown", "escape"), event("keydown", "tab")});
  EXPECT_EQ(keys, (std::vector<std::string>{"b", "escape", "kind 11"}))
      << "what the popup leaves goes to the focus; escape without popups too; tab only moves the focus";
  EXPECT_EQ(app.focusedControl(id), bottomRef);
}

TEST_F(EventRoutingTest, UnhandledKeysBubbleFromTheFocusedFormToItsHosts) {
  const ui::FormHandle nested = form();
  ControlRef inner;
  control(nested, pane(nested), &inner, focusable());
  const NodeHandle host = pane(shown, paneOfLength(PaneLength::dips(40)));
  std::string error;
  ASSERT_TRUE(app.attachForm(host, nested, error)) << error;
  lifecycle(shown, "outer");
  FakeLifecycle* innerLifecycle = lifecycle(nested, "inner");
  show(id, shown);
  send(id, pointer("mousedown", 5, 85, "left"));
  ASSERT_EQ(app.focusedControl(id), inner);
  send(id, event("keydown", "q"));
  innerLifecycle->takeEvents = true;
  send(id, event("keyup", "r"));
  send(id, pointer("mousedown", 5, 145, "left"));
  send(id, event("keydown", "s"));
  EXPECT_EQ(*log, (std::vector<std::string>{"inner:event:q", "outer:event:q", "inner:event:r", "outer:event:s"}))
      << "a handler that takes the event ends the bubbling; without a focus the root form hears it";
}

TEST_F(EventRoutingTest, AControlsAnswerSetsTheCursorAtOnceAndItsFocusRequestAfterTheEvent) {
  show(id, shown);
  bottom->onEvent = [&](const ControlEvent& event) {
    EventResult result;
    if (event.kind != kDown) return result;
    EXPECT_EQ(app.focusedControl(id), std::nullopt) << "a right press moves no focus";
    result.focus = FocusAction::Take;
    result.cursor = static_cast<int32_t>(ControlCursor::Ibeam);
    result.hasCursor = true;
    return result;
  };
  send(id, pointer("mousedown", 5, 60, "right"));
  EXPECT_EQ(app.focusedControl(id), bottomRef);
  EXPECT_EQ(mouse.cursorOf(mouse.current).systemId, SDL_SYSTEM_CURSOR_TEXT);
}

}  // namespace
