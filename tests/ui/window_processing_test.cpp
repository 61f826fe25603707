// The pump: events handed to roots one per UI-work scope, root windows painted with the render target
// restored, and windows closed with the lifecycles of their forms; robustness against controls that
// change the form table while they run.
#include <gtest/gtest.h>

#include <stdexcept>

#include "ui/root.h"
#include "ui_host_fixture.h"

namespace {

// A root that records its calls and can be told to fail while drawing.
class SpyRoot : public ui::Root {
 public:
  explicit SpyRoot(std::vector<std::string>& calls) : calls_(calls) {}
  bool throwOnDraw = false;

  bool handleEvent(const WindowEvent& event) override {
    calls_.push_back("event " + event.type);
    return false;
  }
  void setPointer(const PointerPosition&) override { calls_.push_back("pointer"); }
  void resize(int32_t, int32_t) override { calls_.push_back("resize"); }
  void draw(ui::DrawList&, ui::TextContext&) override {
    calls_.push_back("draw");
    if (throwOnDraw) throw std::runtime_error("draw failed");
  }

 private:
  std::vector<std::string>& calls_;
};

class WindowProcessingTest : public UiHostTest {
 protected:
  SpyRoot* spy(uint64_t id) {
    auto root = std::make_unique<SpyRoot>(calls);
    SpyRoot* raw = root.get();
    registry().setRoot(id, std::move(root));
    return raw;
  }
  std::vector<std::string> calls;
  std::string error;
};

TEST_F(WindowProcessingTest, ATestRootPaintsItsBarsAndTheRenderTargetComesBack) {
  const uint64_t first = window();
  const uint64_t second = window(200, 150);
  ASSERT_EQ(second, 2u);
  registry().setRoot(second, std::make_unique<ui::TestRoot>(second));
  for (int i = 0; i < 3; ++i) registry().queueEvent(second, event("keydown", "a"));
  registry().setRenderTarget(first);
  ASSERT_TRUE(app.processWindows());
  EXPECT_EQ(pixel(second, 100, 60), 0xFF1C1F26u);
  EXPECT_EQ(pixel(second, 24, 60), 0xFF8269BEu) << "left bar: 200 / 8 px";
  EXPECT_EQ(pixel(second, 25, 60), 0xFF1C1F26u);
  EXPECT_EQ(pixel(second, 100, 125), 0xFF2B2F3Au) << "bottom bar: 150 / 6 px, red 40 + 3 events";
  EXPECT_EQ(pixel(second, 100, 124), 0xFF1C1F26u);
  EXPECT_EQ(registry().renderTargetId(), first);
  EXPECT_FALSE(registry().window(second).needsRedraw());
  EXPECT_TRUE(SDL_GetWindowFlags(registry().window(second).sdlWindow()) & SDL_WINDOW_HIDDEN)
      << "painting does not show a window created hidden";
}

TEST_F(WindowProcessingTest, AClosingTestRootClosesItsWindowInTheSameCall) {
  const uint64_t closing = window();
  const uint64_t other = window();
  registry().setRoot(closing, std::make_unique<ui::TestRoot>(closing));
  registry().queueEvent(closing, event("close_requested"));
  registry().queueEvent(closing, event("keydown"));
  spy(other);
  registry().queueEvent(other, event("keydown"));
  ASSERT_TRUE(app.processWindows());
  EXPECT_FALSE(registry().exists(closing));
  EXPECT_EQ(calls.front(), "event keydown") << "the other window is still served";
}

TEST_F(WindowProcessingTest, NothingIsProcessedDuringUiWork) {
  const uint64_t id = window();
  spy(id);
  registry().queueEvent(id, event("keydown"));
  ASSERT_TRUE(app.updateBatch().begin());
  EXPECT_FALSE(app.processWindows());
  app.updateBatch().end(true);
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(app.processWindows());
  EXPECT_EQ(calls, (std::vector<std::string>{"event keydown", "pointer", "resize", "draw"}));
  calls.clear();
  EXPECT_TRUE(app.processWindows());
  EXPECT_TRUE(calls.empty()) << "no event, no mark: nothing to do";
}

TEST_F(WindowProcessingTest, QueuedEventsMarkOnlyRootedWindowsAndResizeMarksEvenWhenMerged) {
  const uint64_t id = window();
  NativeWindow& native = registry().window(id);
  native.clearLayout();
  native.clearRedraw();
  native.queueEvent(event("resize"));
  EXPECT_FALSE(native.needsRedraw()) << "without a root, queuing marks nothing";
  spy(id);
  native.clearLayout();
  native.clearRedraw();
  native.queueEvent(event("resize"));
  EXPECT_EQ(native.queuedEventCount(), 1u) << "merged with the queued resize";
  EXPECT_TRUE(native.needsLayout());
  EXPECT_TRUE(native.needsRedraw());
  native.clearLayout();
  native.clearRedraw();
  native.queueEvent(event("keyup"));
  EXPECT_FALSE(native.needsLayout());
  EXPECT_TRUE(native.needsRedraw());
}

TEST_F(WindowProcessingTest, AFailedPaintStillRestoresTheRenderTargetAndABusyRendererWaits) {
  const uint64_t busy = window();
  const uint64_t failing = window();
  spy(busy);
  spy(failing)->throwOnDraw = true;
  registry().window(busy).renderer()->beginDrawing();
  registry().clearRenderTarget();
  EXPECT_THROW(app.processWindows(), std::runtime_error);
  EXPECT_EQ(registry().renderTargetId(), std::nullopt);
  EXPECT_FALSE(app.isUiWorkActive());
  EXPECT_FALSE(registry().window(failing).renderer()->isDrawing()) << "the failed frame was closed";
  EXPECT_TRUE(registry().window(failing).needsRedraw());
  EXPECT_TRUE(registry().window(busy).needsRedraw()) << "skipped while its renderer is in a frame";
  registry().window(busy).renderer()->endDrawing();
}

TEST_F(WindowProcessingTest, ClosingAWindowCompletesOwnedWindowsFirstAndNestedFormsBeforeTheirHost) {
  const uint64_t w1 = window();
  const uint64_t w2 = window(100, 100, w1);
  const uint64_t w3 = window(100, 100, w2);
  const ui::FormHandle f1 = form(), f2 = form(), f3 = form(), nested = form();
  const NodeHandle host = pane(f1);
  for (const auto& [id, shown] : {std::pair{w1, f1}, {w2, f2}, {w3, f3}}) ASSERT_TRUE(attach(id, shown));
  ASSERT_TRUE(app.attachForm(host, nested, error));
  lifecycle(f1, "f1");
  lifecycle(f2, "f2");
  lifecycle(f3, "f3");
  lifecycle(nested, "nested");
  ASSERT_TRUE(app.requestFormClose(f2, "ok", error)) << error;
  EXPECT_EQ(*log, (std::vector<std::string>{"f3:complete:owner_closed", "f2:complete:ok"})) << "a stored result wins";
  log->clear();
  EXPECT_TRUE(app.closeWindow(w1));
  EXPECT_EQ(*log, (std::vector<std::string>{"nested:complete:window_closed", "f1:complete:window_closed"}));
  EXPECT_FALSE(app.isFormValid(f1));
  EXPECT_FALSE(app.isFormValid(nested));
  EXPECT_FALSE(app.closeWindow(w1));
}

// The focus_lost of a closing window's focus may close the window itself: the close still answers true.
TEST_F(WindowProcessingTest, AWindowClosedByItsFocusLossWhileClosingStillAnswersClosed) {
  const uint64_t id = window();
  const ui::FormHandle shown = form();
  ControlRef ref;
  FakeControl* focused = initiallyFocused(shown, ref);
  ASSERT_TRUE(attach(id, shown));
  bool inner = false;
  focused->onEvent = [&](const ControlEvent& event) {
    if (event.kind == ControlEventKind::FocusLost) inner = app.closeWindow(id);
    return EventResult{};
  };
  EXPECT_TRUE(app.closeWindow(id));
  EXPECT_TRUE(inner);
  EXPECT_FALSE(registry().exists(id));
  EXPECT_FALSE(app.formHost(shown).attached);
}

// A closing window's focus loss may move its form to another window at once: the form is no longer the
// closing window's, so it keeps its lifecycle, uncompleted, and the other window keeps showing it.
TEST_F(WindowProcessingTest, AFormMovedAwayByItsFocusLossWhileItsWindowClosesIsNeitherCompletedNorDestroyed) {
  const uint64_t closing = window(), other = window();
  const ui::FormHandle moving = form(0, 0xFF00FF00u);
  ControlRef ref;
  FakeControl* focused = initiallyFocused(moving, ref);
  ASSERT_TRUE(attach(closing, moving));
  lifecycle(moving, "moving");
  std::string moved;
  focused->onEvent = [&](const ControlEvent& event) {
    if (event.kind == ControlEventKind::FocusLost) {
      EXPECT_TRUE(app.attachForm(other, moving, moved)) << moved;
    }
    return EventResult{};
  };
  EXPECT_TRUE(app.closeWindow(closing));
  EXPECT_FALSE(registry().exists(closing));
  EXPECT_TRUE(log->empty()) << (*log)[0];
  EXPECT_TRUE(app.isFormValid(moving));
  EXPECT_EQ(app.formOfWindow(other), moving);
  ASSERT_TRUE(app.processWindows());
  EXPECT_EQ(pixel(other, 100, 75), 0xFF00FF00u);
}

TEST_F(WindowProcessingTest, AnOwnerOfTwoWindowsCompletesThemInReverseCreationOrder) {
  const uint64_t w1 = window();
  const uint64_t w2 = window(100, 100, w1);
  const uint64_t w3 = window();
  const uint64_t w4 = window(100, 100, w1);
  for (const uint64_t id : {w1, w2, w4}) {
    const ui::FormHandle shown = form();
    ASSERT_TRUE(attach(id, shown));
    lifecycle(shown, "w" + std::to_string(id));
  }
  ASSERT_TRUE(app.closeWindow(w1));
  EXPECT_EQ(*log, (std::vector<std::string>{"w4:complete:owner_closed", "w2:complete:owner_closed",
                                            "w1:complete:window_closed"}));
  EXPECT_TRUE(registry().exists(w3));
}

TEST_F(WindowProcessingTest, ACloseRequestAsksTheLifecycleAndCompletesWithCancel) {
  const uint64_t refusing = window();
  const uint64_t allowing = window();
  const ui::FormHandle kept = form(), closed = form();
  ASSERT_TRUE(attach(refusing, kept));
  ASSERT_TRUE(attach(allowing, closed));
  lifecycle(kept, "kept")->allowClose = false;
  lifecycle(closed, "closed");
  EXPECT_FALSE(app.requestWindowClose(kept, error));
  EXPECT_EQ(error, "Form close request was rejected");
  registry().queueEvent(allowing, event("close_requested"));
  registry().queueEvent(allowing, event("close_requested"));  // merged: one request
  ASSERT_TRUE(app.processWindows());
  EXPECT_TRUE(registry().exists(refusing));
  EXPECT_FALSE(registry().exists(allowing));
  EXPECT_EQ(*log, (std::vector<std::string>{"kept:request_close", "closed:request_close", "closed:complete:cancel"}));
  const ui::FormHandle bare = form();
  EXPECT_FALSE(app.requestFormClose(bare, "x", error));
  EXPECT_EQ(error, "Form has no Lua lifecycle");
}

TEST_F(WindowProcessingTest, AQueueOverflowDeactivatesTheWindowLikeAFocusLoss) {
  const uint64_t id = window();
  const ui::FormHandle shown = form();
  ControlRef ref;
  FakeControl* focused = initiallyFocused(shown, ref);
  ASSERT_TRUE(attach(id, shown));
  registry().queueEvent(id, event("queue_overflow"));
  ASSERT_TRUE(app.processWindows());
  EXPECT_EQ(focused->events,
            (std::vector<ControlEventKind>{ControlEventKind::FocusGained, ControlEventKind::WindowDeactivated}));
  EXPECT_NE(focused->contextSeen, nullptr) << "delivered with the window's render context";
  EXPECT_FALSE(app.findWindowInputState(id)->active);
  EXPECT_EQ(app.focusedControl(id), ref) << "the focus stays";
}

TEST_F(WindowProcessingTest, AFocusedWindowKeepsItsActivityWhenItsFormIsReplaced) {
  const uint64_t id = window();
  registry().window(id).pointerPosition().present = true;  // the platform focus came with a pointer
  ASSERT_TRUE(attach(id, form()));
  EXPECT_TRUE(app.findWindowInputState(id)->active);
  ASSERT_TRUE(attach(id, form()));
  EXPECT_TRUE(app.findWindowInputState(id)->active);
  registry().window(id).pointerPosition().present = false;
  ASSERT_TRUE(attach(id, form()));
  EXPECT_FALSE(app.findWindowInputState(id)->active);
}

TEST_F(WindowProcessingTest, AControlMayCreateManyFormsWhileAnEventIsDelivered) {
  const uint64_t id = window();
  const ui::FormHandle shown = form();
  ControlRef ref;
  FakeControl* focused = initiallyFocused(shown, ref);
  ASSERT_TRUE(attach(id, shown));
  focused->onEvent = [this](const ControlEvent&) {
    for (int i = 0; i < 100; ++i) app.createForm({});
    return handled();
  };
  registry().queueEvent(id, event("focusgained"));
  ASSERT_TRUE(app.processWindows());
  EXPECT_EQ(app.formSlotCount(), 101u);
  EXPECT_EQ(focused->events.back(), ControlEventKind::WindowActivated);
}

// Outside UI work a focus loss reaches the control at once; it destroys its own form and closes its
// window from there, under a detach, a window close or a form destruction that caused the loss.
TEST_F(WindowProcessingTest, AControlMayDestroyItsFormAndCloseItsWindowFromAFocusLoss) {
  const std::vector<std::function<void(Application&, uint64_t, ui::FormHandle)>> causes = {
      [](Application& app, uint64_t id, ui::FormHandle) {
        std::string error;
        app.detachForm(id, error);
      },
      [](Application& app, uint64_t id, ui::FormHandle) { app.closeWindow(id); },
      [](Application& app, uint64_t, ui::FormHandle doomed) {
        std::string error;
        app.destroyForm(doomed, error);
      },
  };
  for (const auto& cause : causes) {
    const uint64_t id = window();
    const ui::FormHandle shown = form();
    ControlRef ref;
    FakeControl* focused = initiallyFocused(shown, ref);
    lifecycle(shown, "shown");
    ASSERT_TRUE(attach(id, shown));
    focused->onEvent = [application = &app, id, shown](const ControlEvent& event) {
      if (event.kind == ControlEventKind::FocusLost) {
        Application& app = *application;
        const uint64_t window = id;
        const ui::FormHandle doomed = shown;
        std::string error;
        app.destroyForm(doomed, error);
        app.closeWindow(window);
      }
      return EventResult{};
    };
    cause(app, id, shown);
    EXPECT_FALSE(app.isFormValid(shown));
    EXPECT_FALSE(registry().exists(id));
    EXPECT_EQ(app.findWindowInputState(id), nullptr);
    EXPECT_TRUE(app.processWindows());
  }
}

}  // namespace
