// main() of every GoogleTest executable: the test environment first (headless SDL, sanitizer options that
// qz processes started by the tests inherit), then the tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  // Window surfaces stay plain software framebuffers in the fixtures that start SDL themselves (qz makes
  // that choice at start-up): the offscreen driver would otherwise back them with a GL texture, loading
  // Mesa (slow to start, and it leaks on unload under LeakSanitizer).
  setenv("SDL_VIDEO_DRIVER", "offscreen", 0);
  setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 0);
  setenv("SDL_RENDER_DRIVER", "software", 0);  // the SDL renderers of compositing windows, for the same reason
  setenv("SDL_AUDIO_DRIVER", "dummy", 0);
  setenv("LSAN_OPTIONS", "suppressions=" QZ_LSAN_SUPPRESSIONS ":print_suppressions=0", 0);
  setenv("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1", 0);
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
