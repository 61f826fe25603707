// The retained UI host against the plain render path. A 1920 x 1080 offscreen window shows a form of 1,000
// controls (40 rows of 25 panes, each with one control filling its pane), painted by the pump
// (Application::processWindows: pointer, layout when needed, and the form's draw walk through the draw
// list) beside a frame that records the same clip and fill commands straight into the RenderCache. Both
// are measured as an unchanged frame and as a full repaint. Then the relayout of a form of 1,000 and of
// 10,000 panes (Application::layoutForm: measure and arrange), hit testing and routed moves, moves routed
// into a nested form beside many other forms, and Tab presses. After the run a table gives the ratios.
#include <SDL3/SDL_hints.h>
#include <SDL3/SDL_init.h>
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

#include "ratio_reporter.h"
#include "render/render_cache.h"
#include "ui/application.h"
#include "ui/control.h"
#include "ui/draw_list.h"
#include "ui/window_registry.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int kColumns = 25;

// Paints its bounds in one colour; measures a fixed size.
class BlockControl : public ui::Control {
 public:
  explicit BlockControl(const ui::ControlDescription& description = {}) : ui::Control(description) {}

 protected:
  ui::Size measure(const ui::Constraints&) override { return {20, 12}; }
  void draw(ui::DrawList& list) override { list.fillRect(bounds(), 0xFF806040u); }
  EventResult handleEvent(const ControlEvent&) override { return {}; }
};

// A form of `panes` panes in rows of kColumns, each pane with one stretched control.
ui::FormHandle buildGrid(Application& app, int panes, const ui::ControlDescription& description = {}) {
  FormSpec settings;
  settings.background = 0xFF202020u;
  const ui::FormHandle form = app.createForm(std::move(settings));
  FormModel& model = *app.formModel(form);
  std::string error;
  NodeHandle row;
  for (int i = 0; i < panes; ++i) {
    if (i % kColumns == 0) {
      PaneSpec rowSpec;
      rowSpec.length = PaneLength::weight(1);
      const NodeHandle rowPane = *model.createPane(rowSpec, error);
      model.appendPane(model.rootLayout(), rowPane, error);
      LayoutSpec columns;
      columns.direction = 1;
      columns.gap = 2;
      row = *model.createLayout(columns, error);
      model.setPaneLayout(rowPane, row, error);
    }
    PaneSpec cell;
    cell.length = PaneLength::weight(1);
    const NodeHandle pane = *model.createPane(cell, error);
    model.appendPane(row, pane, error);
    const NodeHandle control = *model.createControl("", std::make_unique<BlockControl>(description), error);
    model.attachControl(pane, control, {3, 3, 1, 1, 1, 1}, error);
  }
  return form;
}

// One application with the form shown in a window, shared by every benchmark of the run.
class FormScreen {
 public:
  FormScreen() {
    SDL_SetHint(SDL_HINT_VIDEO_DRIVER, "offscreen");
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (!SDL_Init(SDL_INIT_VIDEO)) std::fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
    WindowCreateInfo info;
    info.width = kWidth;
    info.height = kHeight;
    std::string error;
    window_ = app_.createWindow(info, error).value_or(0);
    if (window_ == 0) {
      std::fprintf(stderr, "window: %s\n", error.c_str());
      return;
    }
    form_ = buildGrid(app_, 1000);
    app_.attachForm(window_, form_, error);
    app_.processWindows();
    for (size_t i = 0; i < app_.formModel(form_)->items().size(); ++i) {
      const FormItem& item = app_.formModel(form_)->items()[i];
      if (item.kind == FormItem::Kind::Control)
        controlBounds_.push_back(*app_.formModel(form_)->controlBounds(item.node));
    }
  }

  bool ready() const { return window_ != 0 && controlBounds_.size() == 1000; }
  Application& app() { return app_; }
  const ui::FormHandle& form() const { return form_; }
  // A point in the middle of the control listed at `index`.
  std::pair<double, double> centreOf(size_t index) const {
    const ui::Rect& bounds = controlBounds_.at(index);
    return {bounds.x + bounds.width / 2.0, bounds.y + bounds.height / 2.0};
  }
  NativeWindow& window() { return app_.windowRegistry().window(window_); }

  // The form's frame through the pump.
  void pumpFrame(bool invalidate) {
    if (invalidate) {
      window().invalidate();
    } else {
      window().markRedraw();
    }
    app_.processWindows();
  }

  // The same commands recorded straight into the window's RenderCache.
  void directFrame(bool invalidate) {
    WindowRenderer& renderer = *window().renderer();
    RenderCache& cache = *renderer.renderCache();
    if (invalidate) cache.invalidateAll();
    renderer.beginDrawing();
    const RenderRect whole{0, 0, kWidth, kHeight};
    cache.setClipRect(whole);
    cache.fillRect(whole, 0xFF202020u);
    for (const ui::Rect& bounds : controlBounds_) {
      const RenderRect rect{bounds.x, bounds.y, bounds.width, bounds.height};
      cache.setClipRect(rect);
      cache.fillRect(rect, 0xFF406080u);
      cache.setClipRect(whole);
    }
    renderer.endDrawing();
  }

 private:
  Application app_;
  uint64_t window_ = 0;
  ui::FormHandle form_;
  std::vector<ui::Rect> controlBounds_;
};

FormScreen& screen() {
  static FormScreen instance;
  return instance;
}

void BM_FormUnchangedFrame(benchmark::State& state) {
  FormScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("no window");
  for (auto _ : state) s.pumpFrame(false);
}

void BM_DirectUnchangedFrame(benchmark::State& state) {
  FormScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("no window");
  for (auto _ : state) s.directFrame(false);
}

void BM_FormFullRepaint(benchmark::State& state) {
  FormScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("no window");
  for (auto _ : state) s.pumpFrame(true);
}

void BM_DirectFullRepaint(benchmark::State& state) {
  FormScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("no window");
  for (auto _ : state) s.directFrame(true);
}

void BM_Relayout(benchmark::State& state) {
  FormScreen& s = screen();
  const ui::FormHandle form = buildGrid(s.app(), static_cast<int>(state.range(0)));
  for (auto _ : state) s.app().layoutForm(form, kWidth, kHeight);
  std::string error;
  s.app().destroyForm(form, error);
}

// The first two controls of the list alternate under the pointer: hit testing walks the items from the
// last, so each point is found after nearly all 1,000 controls.
void BM_HitTest(benchmark::State& state) {
  FormScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("no window");
  const auto points = std::array{s.centreOf(0), s.centreOf(1)};
  size_t turn = 0;
  for (auto _ : state) {
    const auto [x, y] = points[turn++ & 1];
    benchmark::DoNotOptimize(s.app().hitTest(s.form(), x, y));
  }
}

// The same moves routed whole: input records checked, hit test, hover moved with its two notifications and
// the cursor, the move delivered, all in a UI-work scope.
void BM_RoutePointerMove(benchmark::State& state) {
  FormScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("no window");
  WindowEvent move;
  move.type = "mousemove";
  const auto points = std::array{s.centreOf(0), s.centreOf(1)};
  size_t turn = 0;
  for (auto _ : state) {
    std::tie(move.x, move.y) = points[turn++ & 1];
    benchmark::DoNotOptimize(s.app().dispatchEventInScope(s.form(), move));
  }
}

// Moves routed to two controls of a form nested in a pane of the window's form, with N other forms alive:
// every check of where the nested form is shown goes through its host pane's form.
void BM_NestedPointerMove(benchmark::State& state) {
  FormScreen& s = screen();
  Application& app = s.app();
  WindowCreateInfo info;
  info.width = 400;
  info.height = 300;
  std::string error;
  const uint64_t window = app.createWindow(info, error).value_or(0);
  if (window == 0) return state.SkipWithError("no window");
  std::vector<ui::FormHandle> others;
  for (int64_t i = 0; i < state.range(0); ++i) others.push_back(app.createForm(FormSpec{}));
  const ui::FormHandle outer = app.createForm(FormSpec{});
  PaneSpec whole;
  whole.length = PaneLength::weight(1);
  const NodeHandle host = *app.createPane(outer, whole, error);
  app.appendPane(outer, app.formModel(outer)->rootLayout(), host, error);
  const ui::FormHandle nested = buildGrid(app, 2);
  app.attachForm(window, outer, error);
  app.attachForm(host, nested, error);
  app.processWindows();
  std::vector<std::pair<double, double>> points;
  for (const FormItem& item : app.formModel(nested)->items()) {
    if (item.kind != FormItem::Kind::Control) continue;
    const ui::Rect bounds = *app.formModel(nested)->controlBounds(item.node);
    points.emplace_back(bounds.x + bounds.width / 2.0, bounds.y + bounds.height / 2.0);
  }
  if (points.size() != 2) return state.SkipWithError("nested form not laid out");
  WindowEvent move;
  move.type = "mousemove";
  size_t turn = 0;
  for (auto _ : state) {
    std::tie(move.x, move.y) = points[turn++ & 1];
    benchmark::DoNotOptimize(app.dispatchEventInScope(outer, move));
  }
  app.closeWindow(window);
  for (const ui::FormHandle& form : others) app.destroyForm(form, error);
  app.destroyForm(nested, error);
  app.destroyForm(outer, error);
}

// 1,000 Tab presses through a form of N focusable controls in a window of its own.
void BM_TabPresses(benchmark::State& state) {
  FormScreen& s = screen();
  Application& app = s.app();
  WindowCreateInfo info;
  info.width = 400;
  info.height = 300;
  std::string error;
  const uint64_t window = app.createWindow(info, error).value_or(0);
  if (window == 0) return state.SkipWithError("no window");
  ui::ControlDescription focusable;
  focusable.focusable = true;
  const ui::FormHandle form = buildGrid(app, static_cast<int>(state.range(0)), focusable);
  app.attachForm(window, form, error);
  WindowEvent event;
  event.type = "focusgained";
  app.dispatchEventInScope(form, event);
  event.type = "keydown";
  event.text = "tab";
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) app.dispatchEventInScope(form, event);
  }
  if (!app.focusedControl(window)) state.SkipWithError("Tab moved no focus");
  app.closeWindow(window);
  app.destroyForm(form, error);
}

// Five repetitions each; the ratios compare the fastest of each.
BENCHMARK(BM_FormUnchangedFrame)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_DirectUnchangedFrame)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_FormFullRepaint)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_DirectFullRepaint)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_Relayout)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_HitTest)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_RoutePointerMove)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_NestedPointerMove)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_TabPresses)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond)->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.printRatio("form / direct, unchanged frame", "BM_FormUnchangedFrame", "BM_DirectUnchangedFrame", 1.5);
  reporter.printRatio("form / direct, full repaint", "BM_FormFullRepaint", "BM_DirectFullRepaint", 1.5);
  reporter.printRatio("relayout, 10,000 / 1,000 panes", "BM_Relayout/10000", "BM_Relayout/1000", 12.0);
  reporter.printRatio("routed move / hit test, 1,000 controls", "BM_RoutePointerMove", "BM_HitTest", 2.0);
  reporter.printRatio("nested move, 1,000 / 10 other forms", "BM_NestedPointerMove/1000", "BM_NestedPointerMove/10",
                      1.5);
  reporter.printRatio("1,000 Tabs, 1,000 / 100 controls", "BM_TabPresses/1000", "BM_TabPresses/100", 12.0);
  benchmark::Shutdown();
  return 0;
}
