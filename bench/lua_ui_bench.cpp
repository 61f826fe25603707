// The Lua UI against the Lua renderer. A 1200 x 800 offscreen window shows a form of 20 x 20 Lua controls,
// each drawing one fill_rect and one short draw_text on its canvas; a second window of the same size gets
// the same 400 rectangles and texts from one Lua function through window.with_render_target and the
// renderer module. Both are full repaints (every cell of the window invalidated first): the form through
// Application::processWindows, the other through the Lua call. Then a layout pass of the form (every Lua
// measure callback called) and key presses delivered to a focused Lua control.
#include <SDL3/SDL_hints.h>
#include <SDL3/SDL_init.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "host/lua_api.h"
#include "ratio_reporter.h"
#include "ui/application.h"
#include "ui/lua/control_lua.h"
#include "ui/lua/form_lua.h"
#include "ui/lua/layout_lua.h"
#include "ui/lua/lua_ui_runtime.h"
#include "ui/lua/pane_lua.h"
#include "ui/lua/renderer_lua.h"
#include "ui/lua/ui_font_lua.h"
#include "ui/lua/window_lua.h"
#include "ui/window_registry.h"

namespace {

constexpr int32_t kWidth = 1200;
constexpr int32_t kHeight = 800;

// The scene: two windows, the grid form in the first, a drawing function for the second, a form with one
// focused key-handling control in a third.
constexpr const char* kScene = R"(
local SANS = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
local COLUMNS, ROWS, WIDTH, HEIGHT = 20, 20, 1200, 800
local ui_face = ui_font.create({path = SANS, size = 12})
local render_face = renderer.font.load(SANS, 12)
local fill, ink = {40, 60, 90}, {230, 230, 230}

form_window = assert(window.create({width = WIDTH, height = HEIGHT, visible = false}))
direct_window = assert(window.create({width = WIDTH, height = HEIGHT, visible = false}))
grid = form.create({root_layout = "rows", background = {20, 20, 20}})
measures = 0
local function cell(label)
  return {
    measure = function() measures = measures + 1 return 40, 20 end,
    draw = function(self, canvas)
      local w, h = canvas:size()
      canvas:fill_rect(0, 0, w, h, fill)
      canvas:draw_text(ui_face, label, 2, 2, ink)
    end,
  }
end
for row = 1, ROWS do
  local row_pane = assert(pane.create(grid, {length = "weighted"}))
  assert(layout.append(grid, form.root_layout(grid), row_pane))
  local columns = assert(layout.cols(grid, {gap = 1}))
  assert(pane.set_layout(grid, row_pane, columns))
  for column = 1, COLUMNS do
    local p = assert(pane.create(grid, {length = "weighted"}))
    assert(layout.append(grid, columns, p))
    local c = assert(control.create(grid, cell(string.format("r%02d c%02d", row, column))))
    assert(pane.attach(grid, p, c, {margin_bottom = 1}))
  end
end
assert(window.attach_form(form_window, grid))

local cells = {}
local cell_width, cell_height = WIDTH // COLUMNS, HEIGHT // ROWS
for row = 1, ROWS do
  for column = 1, COLUMNS do
    cells[#cells + 1] = {(column - 1) * cell_width, (row - 1) * cell_height, cell_width - 1, cell_height - 1,
                         string.format("r%02d c%02d", row, column)}
  end
end
local function draw_cells()
  for i = 1, #cells do
    local c = cells[i]
    renderer.set_clip_rect(c[1], c[2], c[3], c[4])
    renderer.draw_rect(c[1], c[2], c[3], c[4], fill)
    renderer.draw_text(render_face, c[5], c[1] + 2, c[2] + 2, ink)
  end
end
function direct_frame()
  assert(window.with_render_target(direct_window, draw_cells))
end

key_window = assert(window.create({width = 300, height = 200, visible = false}))
keys = form.create({})
local key_pane = assert(pane.create(keys, {length = "weighted"}))
assert(layout.append(keys, form.root_layout(keys), key_pane))
pressed = 0
key_target = assert(control.create(keys, {focusable = true, event = function(self, event)
  if event.kind == "key_down" then pressed = pressed + 1 return {handled = true} end
end}))
assert(pane.attach(keys, key_pane, key_target))
assert(window.attach_form(key_window, keys))
)";

class LuaUiScene {
 public:
  LuaUiScene() {
    SDL_SetHint(SDL_HINT_VIDEO_DRIVER, "offscreen");
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (!SDL_Init(SDL_INIT_VIDEO)) std::fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
    installApplication(std::make_unique<Application>());
    L_ = luaL_newstate();
    luaL_openlibs(L_);
    const std::pair<const char*, lua_CFunction> modules[] = {
        {"renderer", luaopen_renderer}, {"window", luaopen_window}, {"form", luaopen_form},
        {"control", luaopen_control},   {"layout", luaopen_layout}, {"pane", luaopen_pane},
        {"ui_font", luaopen_ui_font}};
    for (const auto& [name, opener] : modules) {
      luaL_requiref(L_, name, opener, 1);
      lua_pop(L_, 1);
    }
    if (luaL_dostring(L_, kScene) != LUA_OK) {
      std::fprintf(stderr, "scene: %s\n", lua_tostring(L_, -1));
      return;
    }
    formWindow_ = global("form_window");
    directWindow_ = global("direct_window");
    keyWindow_ = global("key_window");
    app().processWindows();
    ready_ = run("assert(form.focus(keys, key_target))");
  }
  ~LuaUiScene() {
    shutdownLuaUi(L_);
    ui::lua::abandonLuaUiRuntime(L_);
    lua_close(L_);
    takeApplication().reset();
  }

  bool ready() const { return ready_; }
  Application& app() { return *currentApplication(); }
  WindowRegistry& windows() { return app().windowRegistry(); }
  uint64_t formWindow() const { return formWindow_; }
  uint64_t directWindow() const { return directWindow_; }
  uint64_t keyWindow() const { return keyWindow_; }
  ui::FormHandle formOf(uint64_t window) { return *app().formOfWindow(window); }

  bool run(const char* chunk) {
    if (luaL_dostring(L_, chunk) == LUA_OK) return true;
    std::fprintf(stderr, "%s\n", lua_tostring(L_, -1));
    lua_pop(L_, 1);
    return false;
  }
  lua_Integer global(const char* name) {
    lua_getglobal(L_, name);
    const lua_Integer value = lua_tointeger(L_, -1);
    lua_pop(L_, 1);
    return value;
  }
  // Calls the global Lua function without arguments.
  void call(const char* function) {
    lua_getglobal(L_, function);
    if (lua_pcall(L_, 0, 0, 0) != LUA_OK) {
      std::fprintf(stderr, "%s\n", lua_tostring(L_, -1));
      lua_pop(L_, 1);
    }
  }

 private:
  lua_State* L_ = nullptr;
  uint64_t formWindow_ = 0;
  uint64_t directWindow_ = 0;
  uint64_t keyWindow_ = 0;
  bool ready_ = false;
};

LuaUiScene& scene() {
  static LuaUiScene instance;
  return instance;
}

void BM_LuaControlsFullRepaint(benchmark::State& state) {
  LuaUiScene& s = scene();
  if (!s.ready()) return state.SkipWithError("no scene");
  for (auto _ : state) {
    s.windows().invalidate(s.formWindow());
    s.app().processWindows();
  }
}

void BM_WithRenderTargetFullRepaint(benchmark::State& state) {
  LuaUiScene& s = scene();
  if (!s.ready()) return state.SkipWithError("no scene");
  for (auto _ : state) {
    s.windows().invalidate(s.directWindow());
    s.call("direct_frame");
  }
}

// The form measured and arranged at the window's size, each of the 400 controls' measure called in Lua.
void BM_LayoutPass(benchmark::State& state) {
  LuaUiScene& s = scene();
  if (!s.ready()) return state.SkipWithError("no scene");
  const ui::FormHandle grid = s.formOf(s.formWindow());
  const lua_Integer before = s.global("measures");
  for (auto _ : state) s.app().resizeForm(grid, kWidth, kHeight);
  if (s.global("measures") - before < 400 * static_cast<lua_Integer>(state.iterations())) {
    state.SkipWithError("the Lua measure callbacks did not run");
  }
}

// A key press routed to the focused Lua control and handled there.
void BM_KeyPressToFocusedControl(benchmark::State& state) {
  LuaUiScene& s = scene();
  if (!s.ready()) return state.SkipWithError("no scene");
  const ui::FormHandle keys = s.formOf(s.keyWindow());
  WindowEvent activate;
  activate.type = "focusgained";
  s.app().dispatchEventInScope(keys, activate);
  WindowEvent press;
  press.type = "keydown";
  press.text = "a";
  const lua_Integer before = s.global("pressed");
  for (auto _ : state) s.app().dispatchEventInScope(keys, press);
  if (s.global("pressed") - before != static_cast<lua_Integer>(state.iterations())) {
    state.SkipWithError("the key presses did not reach the control");
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_LuaControlsFullRepaint)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_WithRenderTargetFullRepaint)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_LayoutPass)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_KeyPressToFocusedControl)->Unit(benchmark::kMicrosecond)->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto figure = [&](const char* name) {
    const auto found = reporter.microseconds.find(name);
    return found == reporter.microseconds.end() ? 0.0 : found->second;
  };
  const double form = figure("BM_LuaControlsFullRepaint");
  const double direct = figure("BM_WithRenderTargetFullRepaint");
  std::printf("\n");
  if (form > 0 && direct > 0) {
    std::printf("Lua controls / with_render_target, full repaint: %.1f / %.1f us = %.2f x (target 1.5 x)\n", form,
                direct, form / direct);
  }
  if (const double layout = figure("BM_LayoutPass"); layout > 0) {
    std::printf("layout pass of 400 Lua controls: %.1f us\n", layout);
  }
  if (const double key = figure("BM_KeyPressToFocusedControl"); key > 0) {
    std::printf("key presses to a focused Lua control: %.0f per second\n", 1e6 / key);
  }
  benchmark::Shutdown();
  return 0;
}
