// The common rules of controls: clamped measurement, stored bounds, event filtering, hit testing, and the
// thread's render context scopes.
#include "ui/control.h"

#include <gtest/gtest.h>

#include <memory>

#include "fake_control.h"
#include "ui/text_context.h"

namespace {

TEST(Control, MeasurementIsClampedIntoNormalisedConstraints) {
  FakeControl control({}, {-5, 300});
  EXPECT_EQ(control.measureClamped({50, 0, 20, 100}), (ui::Size{50, 100})) << "maximum 20 below minimum 50 reads as 50";
  EXPECT_EQ(control.measureClamped({-3, -3, 7, 7}), (ui::Size{0, 7}));
}

TEST(Control, NegativeSizesAreStoredAsZero) {
  FakeControl control;
  control.setBounds({1, 2, -3, 4});
  EXPECT_EQ(control.bounds(), (ui::Rect{1, 2, 0, 4}));
}

TEST(Control, HiddenOrDisabledControlsHearOnlyLeaveFocusLossAndDeactivation) {
  for (const bool hidden : {true, false}) {
    ui::ControlDescription description;
    (hidden ? description.visible : description.enabled) = false;
    FakeControl control(description);
    for (int kind = 0; kind <= 14; ++kind) control.deliverEvent(eventOfKind(static_cast<ControlEventKind>(kind)));
    EXPECT_EQ(control.events,
              (std::vector<ControlEventKind>{ControlEventKind::PointerLeave, ControlEventKind::FocusLost,
                                             ControlEventKind::WindowDeactivated}));
  }
  FakeControl shown;
  shown.deliverEvent(eventOfKind(ControlEventKind::KeyDown));
  EXPECT_EQ(shown.events.size(), 1u);
}

TEST(Control, HitTestingCoversTheBoundsHalfOpen) {
  FakeControl control;
  control.setBounds({0, 0, 10, 10});
  EXPECT_TRUE(control.hitTestAt(9.5, 9.5));
  EXPECT_FALSE(control.hitTestAt(10, 0));
  EXPECT_FALSE(control.hitTestAt(-0.1, 5));
  control.setBounds({0, 0, 0, 10});
  EXPECT_FALSE(control.hitTestAt(0, 5)) << "a control of width 0 is never hit";
}

// A text context that measures nothing; only its identity matters here.
class NullTextContext : public ui::TextContext {
 public:
  Extent measureText(const std::shared_ptr<ui::Font>&, std::string_view) override { return {}; }
  int32_t textX(const std::shared_ptr<ui::Font>&, std::string_view, int32_t) override { return 0; }
  int32_t textColumn(const std::shared_ptr<ui::Font>&, std::string_view, int32_t) override { return 1; }
  std::vector<TextCluster> textClusters(const std::shared_ptr<ui::Font>&, std::string_view) override { return {}; }
  int32_t drawText(WindowRenderer&, const WindowMetrics&, const std::shared_ptr<ui::Font>&, std::string_view, int32_t,
                   int32_t, uint32_t) override {
    return 0;
  }
};

TEST(RenderContext, ScopesNestAndAnAbsentOptionalContextChangesNothing) {
  NullTextContext a, b;
  ui::TextContext* first = &a;
  ui::TextContext* second = &b;
  EXPECT_EQ(ui::currentRenderContext(), nullptr);
  {
    const ui::RenderContextScope outer(first);
    {
      const ui::RenderContextScope inner(second);
      EXPECT_EQ(ui::currentRenderContext(), second);
      const ui::RenderContextScope absent(nullptr, true);
      EXPECT_EQ(ui::currentRenderContext(), second);
    }
    EXPECT_EQ(ui::currentRenderContext(), first);
  }
  EXPECT_EQ(ui::currentRenderContext(), nullptr);
}

// A window's context can go while a callback runs inside its scope (the callback closed the window).
TEST(RenderContext, AContextThatGoesIsCurrentNowhereAndNoScopeRestoresIt) {
  NullTextContext kept;
  auto going = std::make_unique<NullTextContext>();
  const std::weak_ptr<const void> lifetime = going->lifetime();
  {
    const ui::RenderContextScope outer(going.get());
    {
      const ui::RenderContextScope middle(&kept);
      {
        const ui::RenderContextScope inner(going.get());
        going.reset();
        EXPECT_TRUE(lifetime.expired());
        EXPECT_EQ(ui::currentRenderContext(), nullptr);
      }
      EXPECT_EQ(ui::currentRenderContext(), &kept);
    }
    EXPECT_EQ(ui::currentRenderContext(), nullptr);
  }
  EXPECT_EQ(ui::currentRenderContext(), nullptr);
}

}  // namespace
