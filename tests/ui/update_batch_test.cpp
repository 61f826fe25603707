// The UI-work scope: the ladder of window marks, nested scopes, the replay of queued requests with its two
// fatal errors, and deferred callbacks.
#include "ui/update_batch.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "ui_host_fixture.h"

namespace {

class UpdateBatchTest : public UiHostTest {
 protected:
  UpdateBatch& batch() { return app.updateBatch(); }

  // Ends the scope; the text of what it threw, or empty.
  std::string endScope() {
    try {
      batch().end(true);
    } catch (const std::runtime_error& failure) {
      batch().abort();
      return failure.what();
    }
    return {};
  }
};

TEST_F(UpdateBatchTest, MarksFormALadderAndStoreNothingOutsideAScope) {
  batch().requestRedraw(5);
  batch().queueRequest(DestroyFormRequest{});
  batch().queueCallback([] {});
  EXPECT_TRUE(batch().redrawWindows().empty());
  EXPECT_FALSE(batch().hasPending());

  ASSERT_TRUE(batch().begin());
  batch().requestRedraw(5);
  batch().requestLayout(5);
  batch().requestInvalidate(5);
  batch().requestRedraw(6);
  batch().requestInvalidate(6);
  batch().requestRedraw(6);
  batch().requestRedraw(0);
  EXPECT_EQ(batch().layoutWindows(), (std::unordered_set<uint64_t>{5}));
  EXPECT_EQ(batch().invalidateWindows(), (std::unordered_set<uint64_t>{6}));
  EXPECT_TRUE(batch().redrawWindows().empty());
  batch().abort();
  EXPECT_EQ(batch().layoutWindows().size(), 1u) << "an abort keeps the marks";
}

TEST_F(UpdateBatchTest, OnlyTheOutermostScopeReplaysAndFlushesToLiveWindows) {
  const uint64_t id = window();
  const ui::FormHandle doomed = form();
  ASSERT_TRUE(batch().begin());
  EXPECT_FALSE(batch().begin());
  std::string error;
  EXPECT_TRUE(app.requestDestroyForm(doomed, error));
  app.markWindowRedrawOnly(id);
  app.markWindowRedrawOnly(id + 100);
  registry().window(id).clearRedraw();
  EXPECT_TRUE(app.isFormValid(doomed)) << "queued, not applied";
  EXPECT_EQ(endScope(), "");
  EXPECT_FALSE(app.isFormValid(doomed));
  EXPECT_TRUE(registry().window(id).needsRedraw());
  EXPECT_TRUE(batch().redrawWindows().empty()) << "the mark of a missing window is dropped";
}

TEST_F(UpdateBatchTest, AFailedRequestIsDroppedSilentlyAndTheNextOneRuns) {
  const ui::FormHandle first = form();
  const ui::FormHandle second = form();
  ASSERT_TRUE(batch().begin());
  std::string error;
  EXPECT_TRUE(app.requestDestroyForm(first, error));
  EXPECT_TRUE(app.requestDestroyForm(first, error)) << "checked again only when replayed";
  EXPECT_TRUE(app.requestDestroyForm(second, error));
  EXPECT_EQ(endScope(), "");
  EXPECT_FALSE(app.isFormValid(second));
}

TEST_F(UpdateBatchTest, AMutationReachingAnActiveRendererEndsTheReplay) {
  const uint64_t target = window();
  const uint64_t shown = window();
  const ui::FormHandle later = form();
  ASSERT_TRUE(batch().begin());
  std::string error;
  ASSERT_TRUE(app.requestAttachForm(shown, form(), error)) << error;
  ASSERT_TRUE(app.requestDestroyForm(later, error));
  app.defer([this] { log->push_back("callback"); });
  EXPECT_EQ(endScopeMidFrame(target),
            "deferred UI mutation reached an active renderer: forms cannot be attached while a frame is rendering");
  EXPECT_TRUE(app.isFormValid(later)) << "the rest of the queue is dropped";
  EXPECT_TRUE(log->empty()) << "and so are the callbacks";
  EXPECT_FALSE(batch().isActive());
}

TEST_F(UpdateBatchTest, AChainThatKeepsQueuingStopsAfterSixtyFourPasses) {
  const uint64_t id = window();
  const ui::FormHandle shown = form();
  ControlRef ref;
  FakeControl* flipper = control(shown, pane(shown), &ref, focusable());
  ASSERT_TRUE(attach(id, shown));
  int passes = 0;
  flipper->onEvent = [&](const ControlEvent& event) {
    ++passes;
    const uint32_t action = event.kind == ControlEventKind::FocusGained ? 2 : 1;
    batch().setPendingFocus({id, ref, action});
    return EventResult{};
  };
  ASSERT_TRUE(batch().begin());
  batch().setPendingFocus({id, ref, 1});
  app.defer([this] { log->push_back("callback"); });
  registry().window(id).clearRedraw();
  EXPECT_EQ(endScope(), "UI operation exceeded 64 deferred cleanup rounds; remaining callback requests were discarded");
  EXPECT_EQ(passes, 64);
  EXPECT_TRUE(log->empty());
  EXPECT_TRUE(registry().window(id).needsRedraw()) << "every window is repainted";
}

TEST_F(UpdateBatchTest, CallbacksAllRunInOrderThenTheFirstFailureLeaves) {
  ASSERT_TRUE(batch().begin());
  app.defer([this] { log->push_back("1"); });
  app.defer([this] {
    log->push_back("2");
    throw std::runtime_error("second failed");
  });
  app.defer([this] {
    log->push_back("3");
    app.defer([this] { log->push_back("3, deferred again: runs at once"); });
  });
  EXPECT_EQ(*log, std::vector<std::string>{});
  EXPECT_EQ(endScope(), "second failed");
  EXPECT_EQ(*log, (std::vector<std::string>{"1", "2", "3", "3, deferred again: runs at once"}));
  app.defer([this] { log->push_back("outside"); });
  EXPECT_EQ(log->back(), "outside") << "outside UI work a callback runs at once";
}

TEST_F(UpdateBatchTest, TheLatestFocusRequestOfAScopeWins) {
  const uint64_t id = window();
  const ui::FormHandle shown = form();
  const NodeHandle row = pane(shown);
  ControlRef first, second;
  control(shown, row, &first, focusable());
  control(shown, row, &second, focusable());
  ASSERT_TRUE(attach(id, shown));
  ASSERT_TRUE(batch().begin());
  batch().setPendingFocus({id, first, 1});
  batch().setPendingFocus({id, second, 1});
  EXPECT_EQ(endScope(), "");
  EXPECT_EQ(app.focusedControl(id), second);
}

}  // namespace
