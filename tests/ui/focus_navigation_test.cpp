// Focus: the navigation order with tab orders, ties and nested forms, Tab and dialog arrows through the
// pump, focus on presses, the order of the notifications, and native text input following the focus and
// the window's activation.
#include <gtest/gtest.h>

#include "ui_host_fixture.h"

namespace {

ui::ControlDescription tabOrdered(uint32_t tabOrder) {
  ui::ControlDescription description = focusable();
  description.tabOrder = tabOrder;
  return description;
}

ui::ControlDescription withTextInput(uint32_t type) {
  ui::ControlDescription description = focusable();
  description.textInput.type = type;
  description.textInput.present = true;
  return description;
}

class FocusTest : public UiHostTest {
 protected:
  // The controls the key presses visit from `start`, as indices into `refs`.
  std::vector<int> visits(const ui::FormHandle& root, const std::vector<ControlRef>& refs, int start, int presses,
                          bool backward) {
    std::vector<int> seen;
    std::optional<ControlRef> current = refs[start];
    for (int i = 0; i < presses; ++i) {
      current = app.moveFocus(root, current, backward);
      const auto found = current ? std::find(refs.begin(), refs.end(), *current) : refs.end();
      seen.push_back(found == refs.end() ? -1 : int(found - refs.begin()));
    }
    return seen;
  }
  uint64_t id = window();
  std::string error;
};

TEST_F(FocusTest, TabFollowsTabOrderThenTreeOrderAndWraps) {
  const ui::FormHandle shown = form();
  std::vector<ControlRef> refs(3);  // P, Q, S
  row(shown, 10, &refs[0], tabOrdered(2));
  row(shown, 10, &refs[1], tabOrdered(0));
  row(shown, 10, &refs[2], tabOrdered(1));
  ui::ControlDescription skipped = tabOrdered(1);
  skipped.tabStop = false;
  ControlRef noStop;
  row(shown, 10, &noStop, skipped);
  ASSERT_TRUE(attach(id, shown));
  EXPECT_EQ(visits(shown, refs, 0, 3, false), (std::vector<int>{1, 2, 0}));
  EXPECT_EQ(visits(shown, refs, 1, 1, true), (std::vector<int>{0}));
  refs.push_back(noStop);
  EXPECT_EQ(visits(shown, refs, 3, 1, false), (std::vector<int>{1})) << "from outside the order: the smallest key";
  EXPECT_EQ(visits(shown, refs, 3, 1, true), (std::vector<int>{0})) << "or the largest";

  const ui::FormHandle ties = form();
  std::vector<ControlRef> tied(3);
  for (ControlRef& ref : tied) row(ties, 10, &ref, tabOrdered(7));
  EXPECT_EQ(visits(ties, tied, 0, 3, false), (std::vector<int>{1, 2, 0})) << "equal tab orders: tree order";
}

TEST_F(FocusTest, ANestedFormTakesItsPanesPlaceUnlessItsPaneIsCollapsed) {
  const ui::FormHandle shown = form();
  const ui::FormHandle nested = form();
  std::vector<ControlRef> refs(3);
  row(shown, 10, &refs[0], focusable());
  const NodeHandle host = pane(shown, paneOfLength(PaneLength::dips(20)));
  row(shown, 10, &refs[2], focusable());
  row(nested, 10, &refs[1], focusable());
  ASSERT_TRUE(app.attachForm(host, nested, error)) << error;
  ASSERT_TRUE(attach(id, shown));
  EXPECT_EQ(visits(shown, refs, 0, 3, false), (std::vector<int>{1, 2, 0}));
  ASSERT_TRUE(app.setFormPaneCollapsed(shown, host, true, error)) << error;
  EXPECT_EQ(visits(shown, refs, 0, 2, false), (std::vector<int>{2, 0}));
}

TEST_F(FocusTest, TabThroughThePumpAndNotificationsInOrderWithTextInputBetween) {
  const ui::FormHandle shown = form();
  ControlRef typing, plain;
  FakeControl* first = row(shown, 20, &typing, withTextInput(0));
  FakeControl* second = row(shown, 20, &plain, focusable());
  std::vector<std::string> heard;
  SDL_Window* sdl = registry().window(id).sdlWindow();
  const auto record = [&](const char* name) {
    return [&, name](const ControlEvent& event) {
      if (event.kind == ControlEventKind::KeyDown) heard.push_back(std::string(name) + " key " + event.key);
      if (event.kind == ControlEventKind::FocusLost || event.kind == ControlEventKind::FocusGained) {
        heard.push_back(std::string(name) + (event.kind == ControlEventKind::FocusLost ? " lost" : " gained") +
                        (SDL_TextInputActive(sdl) ? " input on" : " input off"));
      }
      return EventResult{};
    };
  };
  first->onEvent = record("first");
  second->onEvent = record("second");
  show(id, shown);
  send(id, {event("keydown", "tab"), event("keydown", "tab")});
  EXPECT_EQ(heard,
            (std::vector<std::string>{"first gained input on", "first lost input on", "second gained input off"}));
  heard.clear();
  EXPECT_TRUE(app.setFocus(id, plain));
  WindowEvent shifted = event("keydown", "tab");
  shifted.shift = true;
  WindowEvent controlTab = event("keydown", "tab");
  controlTab.control = true;
  send(id, {controlTab, shifted});
  EXPECT_EQ(heard, (std::vector<std::string>{"second key tab", "second lost input off", "first gained input on"}))
      << "focusing the focus again sends nothing; Control+Tab is an ordinary key";
}

TEST_F(FocusTest, ArrowsMoveFocusOnlyInDialogsOnlyUnhandledAndWithoutModifiers) {
  struct Case {
    bool dialog;
    const char* key;
    bool handledByFocus;
    bool alt;
    int expected;  // index of the focus afterwards
  };
  const Case cases[] = {
      {true, "right", false, false, 1}, {true, "down", false, false, 1},     {true, "left", false, false, 1},
      {true, "up", false, false, 1},    {false, "right", false, false, 0},   {true, "right", true, false, 0},
      {true, "right", false, true, 0},  {true, "pagedown", false, false, 0},
  };
  for (const Case& c : cases) {
    const uint64_t shownIn = window(200, 150, std::nullopt, c.dialog ? WindowFrame::Dialog : WindowFrame::Standard);
    const ui::FormHandle shown = form(c.dialog ? 1 : 0);
    std::vector<ControlRef> refs(2);
    FakeControl* start = row(shown, 20, &refs[0], focusable());
    row(shown, 20, &refs[1], focusable());
    start->onEvent = [&](const ControlEvent&) { return c.handledByFocus ? handled() : EventResult{}; };
    initialFocus(shown, refs[0]);
    show(shownIn, shown);
    WindowEvent key = event("keydown", c.key);
    key.alt = c.alt;
    send(shownIn, key);
    EXPECT_EQ(app.focusedControl(shownIn), refs[c.expected]) << c.key << (c.dialog ? " in a dialog" : "");
  }
}

TEST_F(FocusTest, ALeftPressFocusesClearsOrKeepsTheFocusForItsPopupChain) {
  const ui::FormHandle shown = form();
  ControlRef field, label;
  row(shown, 20, &field, focusable());
  row(shown, 20, &label);
  std::string error;
  const NodeHandle item = *app.createControl(shown, "", std::make_unique<FakeControl>(), error);
  ASSERT_TRUE(app.attachOverlayControl(shown, item, error));
  show(id, shown);
  send(id, pointer("mousedown", 5, 5, "left"));
  EXPECT_EQ(app.focusedControl(id), field);
  AnchoredOverlayOptions options;
  options.size = {40, 20};
  options.position = 1;
  ASSERT_TRUE(app.setAnchoredOverlay(shown, item, field.control, options, error)) << error;
  send(id, pointer("mousedown", 170, 10, "left"));  // the popup lies at {160, 0, 40, 20}
  EXPECT_EQ(app.focusedControl(id), field) << "a press on the dropdown its focus opened keeps the focus";
  send(id, pointer("mousedown", 5, 25, "left"));
  EXPECT_FALSE(app.isOverlayVisible(shown, item));
  EXPECT_EQ(app.focusedControl(id), field) << "the closing press reaches nobody and moves no focus";
  send(id, pointer("mousedown", 5, 25, "left"));
  EXPECT_EQ(app.focusedControl(id), std::nullopt) << "a non-focusable target clears it";
  send(id, {pointer("mousedown", 5, 5, "left"), pointer("mousedown", 5, 100, "left")});
  EXPECT_EQ(app.focusedControl(id), std::nullopt) << "and so does empty space";
}

TEST_F(FocusTest, TextInputFollowsTheFocusAndTheWindowsActivation) {
  const ui::FormHandle shown = form();
  ControlRef password, other, number;
  ui::ControlDescription capitalized = withTextInput(4);
  row(shown, 20, &password, capitalized);
  row(shown, 20, &other, withTextInput(4));
  row(shown, 20, &number, withTextInput(6));
  show(id, shown);
  SDL_Window* sdl = registry().window(id).sdlWindow();
  ASSERT_TRUE(app.setFocus(id, password));
  EXPECT_TRUE(SDL_TextInputActive(sdl));
  EXPECT_EQ(registry().window(id).textInput().type, 4u);
  EXPECT_EQ(registry().window(id).textInput().capitalization, 0u) << "automatic: no capitalization property";
  SDL_StopTextInput(sdl);  // behind the registry's back: a restart would turn it on again
  ASSERT_TRUE(app.setFocus(id, other));
  EXPECT_FALSE(SDL_TextInputActive(sdl)) << "an equal description does not restart input";
  ASSERT_TRUE(app.setFocus(id, number));
  EXPECT_TRUE(SDL_TextInputActive(sdl));
  EXPECT_EQ(registry().window(id).textInput().type, 6u);
  send(id, event("focuslost"));
  EXPECT_FALSE(SDL_TextInputActive(sdl));
  send(id, event("focusgained"));
  EXPECT_TRUE(SDL_TextInputActive(sdl));
  EXPECT_EQ(app.focusedControl(id), number);
}

// Outside UI work, a focus_lost handler that moves the focus has the last word: the control it focused
// keeps the focus, and the control first asked for hears nothing.
TEST_F(FocusTest, AFocusLostHandlerThatMovesTheFocusHasTheLastWord) {
  const ui::FormHandle shown = form();
  ControlRef first, second, third;
  FakeControl* a = control(shown, pane(shown), &first, focusable());
  FakeControl* b = control(shown, pane(shown), &second, focusable());
  FakeControl* c = control(shown, pane(shown), &third, focusable());
  show(id, shown);
  ASSERT_TRUE(app.focusControl(shown, first.control, error)) << error;
  std::string nestedError;
  a->onEvent = [&](const ControlEvent& event) {
    if (event.kind == ControlEventKind::FocusLost) {
      EXPECT_TRUE(app.focusControl(shown, third.control, nestedError)) << nestedError;
    }
    return EventResult{};
  };
  EXPECT_TRUE(app.focusControl(shown, second.control, error)) << error;
  EXPECT_EQ(app.focusedControl(id), third);
  EXPECT_TRUE(b->events.empty());
  EXPECT_EQ(c->events, (std::vector<ControlEventKind>{ControlEventKind::FocusGained}));
}

// A focus_lost handler that leaves the control asked for unable to take the focus (hidden, disabled, its form
// detached, its window closed): no control gets the focus and form.focus answers false with its message.
TEST_F(FocusTest, AFocusLostHandlerThatMakesTheTargetUnfocusableLeavesTheWindowWithoutFocus) {
  enum class Spoil { Hide, Disable, DetachItsForm, CloseTheWindow };
  for (const Spoil spoil : {Spoil::Hide, Spoil::Disable, Spoil::DetachItsForm, Spoil::CloseTheWindow}) {
    const uint64_t shownIn = window();
    const ui::FormHandle shown = form(), nested = form();
    ControlRef first, second;
    FakeControl* a = control(shown, pane(shown), &first, focusable());
    const NodeHandle holder = pane(shown, paneOfLength(PaneLength::weight(1)));
    FakeControl* b = control(nested, pane(nested), &second, focusable());
    show(shownIn, shown);
    ASSERT_TRUE(app.attachForm(holder, nested, error)) << error;
    ASSERT_TRUE(app.focusControl(shown, first.control, error)) << error;
    std::string nestedError;
    a->onEvent = [&](const ControlEvent& event) {
      if (event.kind != ControlEventKind::FocusLost) return EventResult{};
      const bool done = spoil == Spoil::Hide      ? app.setControlVisible(nested, second.control, false, nestedError)
                        : spoil == Spoil::Disable ? app.setControlEnabled(nested, second.control, false, nestedError)
                        : spoil == Spoil::DetachItsForm ? app.detachForm(holder, nestedError)
                                                        : app.closeWindow(shownIn);
      EXPECT_TRUE(done) << nestedError;
      return EventResult{};
    };
    EXPECT_FALSE(app.focusControl(nested, second.control, error));
    EXPECT_EQ(error, "control cannot receive focus in a visible window");
    EXPECT_EQ(a->events.back(), ControlEventKind::FocusLost);
    if (spoil == Spoil::CloseTheWindow) continue;
    EXPECT_EQ(app.focusedControl(shownIn), std::nullopt);
    EXPECT_EQ(app.findWindowInputState(shownIn)->focus, std::nullopt) << "nothing is kept as the focus";
    ASSERT_TRUE(app.setControlVisible(nested, second.control, true, error)) << error;
    ASSERT_TRUE(app.setControlEnabled(nested, second.control, true, error)) << error;
    ASSERT_TRUE(app.attachForm(holder, nested, error)) << error;
    send(shownIn, event("focuslost"));
    EXPECT_TRUE(b->events.empty()) << "no focus_lost without a focus_gained";
    registry().closeWindow(shownIn);
  }
}

}  // namespace
