#include "ui/window_registry.h"

#include <gtest/gtest.h>

#include "host/process_state.h"
#include "sdl_video_fixture.h"
#include "ui/root.h"

namespace {

class WindowRegistryTest : public SdlVideoTest {
 protected:
  uint64_t create(std::optional<uint64_t> owner = std::nullopt, bool visible = false) {
    return createWindow(registry, 320, 200, owner, visible);
  }
  WindowRegistry registry;
};

TEST_F(WindowRegistryTest, IdsStartAtOneAndAreNeverReused) {
  EXPECT_EQ(create(), 1u);
  EXPECT_EQ(create(), 2u);
  EXPECT_TRUE(registry.closeWindow(2));
  EXPECT_EQ(create(), 3u);
  EXPECT_FALSE(registry.closeWindow(2));
}

TEST_F(WindowRegistryTest, CreationChecksComeBeforeSdl) {
  std::string error;
  WindowCreateInfo info;
  info.width = 0;
  info.height = 10;
  EXPECT_FALSE(registry.createWindow(info, error));
  EXPECT_EQ(error, "window dimensions must be positive");
  info.width = 10;
  info.height = -1;
  EXPECT_FALSE(registry.createWindow(info, error));
  EXPECT_EQ(error, "window dimensions must be positive");
  info.height = 10;
  info.owner = 42;
  EXPECT_FALSE(registry.createWindow(info, error));
  EXPECT_EQ(error, "window owner does not exist");
  info.owner.reset();
  info.modality = WindowModality::OwnerModal;
  EXPECT_FALSE(registry.createWindow(info, error));
  EXPECT_EQ(error, "owner-modal windows require an owner");
  EXPECT_EQ(create(), 1u) << "failed creations take no id";
}

// SDL fails some of its calls without a text of its own (the display scale of a window too large for any
// display), and a text left from an earlier failure is not this one's.
TEST_F(WindowRegistryTest, AFailedSdlStepAlwaysCarriesItsOwnMessage) {
  WindowCreateInfo info;
  info.width = 2147483647;
  info.height = 2147483647;
  std::string error;
  SDL_SetError("an earlier failure");
  EXPECT_FALSE(registry.createWindow(info, error));
  EXPECT_FALSE(error.empty());
  EXPECT_NE(error, "an earlier failure");
  EXPECT_EQ(create(), 1u) << "the failed creation took no id and left nothing registered";
  EXPECT_EQ(registry.listWindows().size(), 1u);
}

TEST_F(WindowRegistryTest, WindowsAreCreatedHiddenUnlessAsked) {
  const uint64_t hidden = create();
  const uint64_t shown = create(std::nullopt, true);
  EXPECT_TRUE(SDL_GetWindowFlags(registry.window(hidden).sdlWindow()) & SDL_WINDOW_HIDDEN);
  EXPECT_FALSE(SDL_GetWindowFlags(registry.window(shown).sdlWindow()) & SDL_WINDOW_HIDDEN);
}

TEST_F(WindowRegistryTest, LogicalSizeIsTheSizeAsked) {
  const uint64_t id = create();
  const WindowMetrics& metrics = registry.window(id).metrics();
  EXPECT_EQ(metrics.logicalWidth, 320);
  EXPECT_EQ(metrics.logicalHeight, 200);
}

TEST_F(WindowRegistryTest, FindBySdlIdRespectsCreationTime) {
  const uint64_t id = create();
  const uint32_t sdlId = SDL_GetWindowID(registry.window(id).sdlWindow());
  EXPECT_EQ(registry.findBySdlId(sdlId, 0), id);
  EXPECT_EQ(registry.findBySdlId(sdlId, SDL_GetTicksNS()), id);
  EXPECT_EQ(registry.findBySdlId(sdlId, 1), std::nullopt) << "stamped before the window existed";
  EXPECT_EQ(registry.findBySdlId(sdlId + 1000, 0), std::nullopt);
}

TEST_F(WindowRegistryTest, ClosingOwnerClosesOwnedWindowsAndClearsMarks) {
  const uint64_t first = create();
  const uint64_t second = create(first);
  const uint64_t third = create(second);
  const uint64_t other = create();
  registry.setMainWindow(third);
  registry.setRenderTarget(second);
  EXPECT_EQ(mainWindowSdlId(), SDL_GetWindowID(registry.window(third).sdlWindow()))
      << "published for the threads that wake the main loop";
  EXPECT_TRUE(registry.closeWindow(first));
  EXPECT_EQ(mainWindowSdlId(), 0u);
  EXPECT_FALSE(registry.exists(first));
  EXPECT_FALSE(registry.exists(second));
  EXPECT_FALSE(registry.exists(third));
  EXPECT_TRUE(registry.exists(other));
  EXPECT_EQ(registry.mainWindowId(), std::nullopt);
  EXPECT_EQ(registry.renderTargetId(), std::nullopt);
}

TEST_F(WindowRegistryTest, ChangedMetricsMarkLayoutUnchangedLeaveFlags) {
  const uint64_t id = create();
  NativeWindow& window = registry.window(id);
  window.clearLayout();
  window.clearRedraw();
  EXPECT_TRUE(window.updateDisplayScale());
  EXPECT_FALSE(window.needsLayout());
  EXPECT_FALSE(window.needsRedraw());
  ASSERT_TRUE(SDL_SetWindowSize(window.sdlWindow(), 400, 250));
  SDL_SyncWindow(window.sdlWindow());
  EXPECT_TRUE(window.updateDisplayScale());
  EXPECT_TRUE(window.needsLayout());
  EXPECT_TRUE(window.needsRedraw());
  EXPECT_EQ(window.metrics().logicalWidth, 400);
}

TEST_F(WindowRegistryTest, ListingIsSortedByIdWithVisibilityAndTheMainMark) {
  const uint64_t first = create();
  const uint64_t shown = create(std::nullopt, true);
  const uint64_t owned = create(first);
  registry.setMainWindow(shown);
  const std::vector<WindowInfo> windows = registry.listWindows();
  ASSERT_EQ(windows.size(), 3u);
  EXPECT_EQ(windows[0].id, first);
  EXPECT_FALSE(windows[0].visible);
  EXPECT_FALSE(windows[0].isMain);
  EXPECT_EQ(windows[2].id, owned);
  EXPECT_EQ(windows[2].owner, first);
  EXPECT_TRUE(windows[1].visible);
  EXPECT_TRUE(windows[1].isMain);
  EXPECT_EQ(windows[1].metrics.logicalWidth, 320);
}

TEST_F(WindowRegistryTest, HidingAWindowKeepsItHiddenThroughItsFirstPaint) {
  const uint64_t id = create(std::nullopt, true);
  std::string error;
  EXPECT_FALSE(registry.setVisible(id + 1, true, error));
  EXPECT_EQ(error, "window does not exist");
  ASSERT_TRUE(registry.setVisible(id, false, error)) << error;
  registry.setRoot(id, std::make_unique<ui::TestRoot>(id));
  registry.drawRootWindows();
  EXPECT_TRUE(SDL_GetWindowFlags(registry.window(id).sdlWindow()) & SDL_WINDOW_HIDDEN);
  ASSERT_TRUE(registry.setVisible(id, true, error)) << error;
  EXPECT_FALSE(SDL_GetWindowFlags(registry.window(id).sdlWindow()) & SDL_WINDOW_HIDDEN);
}

TEST_F(WindowRegistryTest, RootsTakeOneEventAtATimeAndTheRootListIsReused) {
  const uint64_t plain = create();
  const uint64_t rooted = create();
  auto root = std::make_unique<ui::TestRoot>(rooted);
  const ui::TestRoot* test = root.get();
  registry.setRoot(rooted, std::move(root));
  const std::vector<uint64_t>& list = registry.windowsWithRoots();
  EXPECT_EQ(list, std::vector<uint64_t>{rooted});
  EXPECT_EQ(&registry.windowsWithRoots(), &list);
  WindowEvent close;
  close.type = "close_requested";
  registry.queueEvent(rooted, WindowEvent{});
  registry.queueEvent(rooted, std::move(close));
  EXPECT_EQ(registry.dispatchNextEvent(plain), 0);
  EXPECT_EQ(registry.dispatchNextEvent(rooted), 1);
  EXPECT_EQ(registry.dispatchNextEvent(rooted), 2);
  EXPECT_EQ(registry.dispatchNextEvent(rooted), 0);
  EXPECT_EQ(test->eventCount(), 2u);
}

}  // namespace
