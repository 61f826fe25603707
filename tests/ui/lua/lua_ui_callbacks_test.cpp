// Lua controls and form lifecycles in a headless qz: measure and event answers read strictly, close
// requests pushed through SDL, a control that destroys its own form, pixels of a control at two scales, and
// text failures raised as Lua errors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "lua_ui_fixture.h"
#include "render/window_renderer.h"
#include "ui/draw_list.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class LuaUiCallbacks : public LuaUiTest {
 protected:
  // The window of the form `f` made by the chunk, shown, laid out and painted.
  uint64_t show(const std::string& chunk, int32_t width = 120, int32_t height = 60) {
    ok(chunk + "\nwin = assert(window.create({width = " + std::to_string(width) +
       ", height = " + std::to_string(height) + ", visible = false}))\nassert(window.attach_form(win, f))");
    settle();
    return static_cast<uint64_t>(std::stoull(ok("return win")[0]));
  }

  void settle() { ok("while system.poll_event() do end"); }

  ui::FormHandle formHandle() {
    lua_getglobal(L, "f");
    const ui::FormHandle form = *static_cast<const ui::FormHandle*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    return form;
  }
  NodeHandle nodeOf(const char* global) {
    lua_getglobal(L, global);
    const NodeHandle node = *static_cast<const NodeHandle*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    return node;
  }
};

// A form `f` whose one control `c` sits at the top left of a content pane, sized by its own measure.
constexpr const char* kMeasured = R"(
  f = form.create({})
  p = assert(pane.create(f, {length = "content"}))
  assert(layout.append(f, form.root_layout(f), p))
  measures = 0
  c = assert(control.create(f, {width = 7, height = 3, measure = function(...)
    measures = measures + 1
    return answer(...)
  end}))
  assert(pane.attach(f, p, c, {horizontal = "left", vertical = "top"})))";

TEST_F(LuaUiCallbacks, MeasureAnswersAreReadStrictly) {
  struct Case {
    const char* answer;
    ui::Rect bounds;
    const char* report;
  };
  const char* const kBad = "Lua UI 'measure' must return two finite, non-negative sizes";
  const Case cases[] = {
      {"return 10.9, 0", {0, 0, 10, 0}, nullptr},
      {"return 2147483647, 1", {0, 0, 120, 1}, nullptr},
      {"return -1, 5", {0, 0, 7, 3}, kBad},
      {"return '10', 5", {0, 0, 7, 3}, kBad},
      {"return 1 / 0, 5", {0, 0, 7, 3}, kBad},
      {"return 2147483648, 5", {0, 0, 7, 3}, kBad},
      {"return 4", {0, 0, 7, 3}, kBad},
      {"error('no size')", {0, 0, 7, 3}, "Lua UI 'measure' callback failed: "},
  };
  for (const Case& c : cases) {
    ok(std::string("answer = function() ") + c.answer + " end");
    const uint64_t id = show(kMeasured);
    const std::optional<ui::Rect> bounds = currentApplication()->formModel(formHandle())->controlBounds(nodeOf("c"));
    ASSERT_TRUE(bounds);
    EXPECT_EQ(*bounds, c.bounds) << c.answer;
    const Values reports = takeReports();
    if (c.report == nullptr) {
      EXPECT_TRUE(reports.empty()) << c.answer << ": " << reports[0];
    } else {
      ASSERT_EQ(reports.size(), 1u) << c.answer;
      EXPECT_THAT(reports[0], StartsWith(c.report));
      ok("assert(control.relayout(f, c)) window.invalidate(win) measures = 0");
      settle();
      EXPECT_EQ(ok("return measures")[0], "0") << c.answer << ": measured again after failing";
    }
    ok("window.close(win)");
    EXPECT_FALSE(registry().exists(id));
  }
}

// A form `f` whose focusable control `c` fills the window and answers events with answer(event).
constexpr const char* kEvented = R"(
  f = form.create({})
  p = assert(pane.create(f, {length = "weighted"}))
  assert(layout.append(f, form.root_layout(f), p))
  events = 0
  c = assert(control.create(f, {focusable = true, event = function(self, event, canvas)
    events = events + 1
    last = event
    return answer(event)
  end}))
  assert(pane.attach(f, p, c)))";

TEST_F(LuaUiCallbacks, EventTablesAndResultsAreReadStrictly) {
  struct Case {
    const char* answer;
    EventResult expected;
    const char* report;
  };
  const Case cases[] = {
      {"return nil", {}, nullptr},
      {"return {}", {}, nullptr},
      {"return {handled = true, redraw = false, focus = 'acquire', capture = 'release', cursor = 'ibeam'}",
       {true, false, FocusAction::Take, CaptureAction::Release, 1, true},
       nullptr},
      {"return {focus = 'unchanged', cursor = 'size_we'}",
       {false, false, FocusAction::Unchanged, {}, 2, true},
       nullptr},
      {"return {capture = 'ACQUIRE'}",
       {},
       "Lua UI event result field 'capture' must be 'unchanged', 'acquire', or 'release'"},
      {"return {handled = 1}", {}, "Lua UI event result field 'handled' must be a boolean"},
      {"return {cursor = 'hand'}", {}, "Lua UI event result field 'cursor' must be 'arrow', 'ibeam', or 'size_we'"},
      {"return 5", {}, "Lua UI 'event' callback must return a table or nil"},
  };
  ControlEvent event;
  event.kind = ControlEventKind::KeyDown;
  event.button = 9;
  event.windowX = 5.5;
  event.windowY = 6;
  event.key = "Return";
  event.textStart = -2;
  event.shift = true;
  event.repeat = true;
  for (const Case& c : cases) {
    ok(std::string("answer = function() ") + c.answer + " end");
    const uint64_t id = show(kEvented);
    const ControlRef control{formHandle(), nodeOf("c")};
    for (int delivery = 0; delivery < 2; ++delivery) {
      const EventResult result = currentApplication()->deliverControlEvent(id, control, event);
      const EventResult& want = delivery == 0 || c.report == nullptr ? c.expected : EventResult{};
      EXPECT_EQ(std::tie(result.handled, result.redraw, result.focus, result.capture, result.cursor, result.hasCursor),
                std::tie(want.handled, want.redraw, want.focus, want.capture, want.cursor, want.hasCursor))
          << c.answer;
    }
    EXPECT_EQ(ok("return events")[0], c.report == nullptr ? "2" : "1") << c.answer;
    const Values reports = takeReports();
    EXPECT_EQ(reports, c.report == nullptr ? Values{} : Values{c.report}) << c.answer;
    ok("window.close(win)");
  }
  EXPECT_EQ(ok("return last.kind, last.button, last.x, last.y, last.window_x, last.key, last.text, last.text_start,"
               " last.clicks, last['repeat'], last.shift, last.control"),
            (Values{"key_down", "other", "5.5", "6.0", "5.5", "Return", "", "-2", "0", "true", "true", "false"}));
  event.kind = static_cast<ControlEventKind>(99);
  ok("answer = function() end");
  const uint64_t id = show(kEvented);
  currentApplication()->deliverControlEvent(id, {formHandle(), nodeOf("c")}, event);
  EXPECT_EQ(ok("return last.kind")[0], "unknown");
}

// Every field of an event result with each value it takes and values it refuses: a refused value is
// reported with the field's name and the values it takes, and the control's event callback is not called
// again (the other fields of that answer count for nothing).
TEST_F(LuaUiCallbacks, EachEventResultFieldTakesItsValuesAndNamesThemWhenWrong) {
  struct Field {
    const char* name;
    std::vector<std::pair<const char*, EventResult>> taken;
    std::vector<const char*> refused;
    const char* report;
  };
  const char* const kActions = "must be 'unchanged', 'acquire', or 'release'";
  const Field fields[] = {
      {"handled",
       {{"true", {true, false, {}, {}, 0, false}}, {"false", {}}, {"nil", {}}},
       {"1", "'true'", "{}"},
       "Lua UI event result field 'handled' must be a boolean"},
      {"redraw",
       {{"true", {false, true, {}, {}, 0, false}}, {"false", {}}},
       {"0", "'yes'"},
       "Lua UI event result field 'redraw' must be a boolean"},
      {"focus",
       {{"'unchanged'", {}},
        {"'acquire'", {false, false, FocusAction::Take, {}, 0, false}},
        {"'release'", {false, false, FocusAction::GiveUp, {}, 0, false}}},
       {"true", "false", "1", "'Acquire'", "'take'", "{}"},
       nullptr},
      {"capture",
       {{"'unchanged'", {}},
        {"'acquire'", {false, false, {}, CaptureAction::Acquire, 0, false}},
        {"'release'", {false, false, {}, CaptureAction::Release, 0, false}}},
       {"true", "'RELEASE'", "2"},
       nullptr},
      {"cursor",
       {{"'arrow'", {false, false, {}, {}, 0, true}},
        {"'ibeam'", {false, false, {}, {}, 1, true}},
        {"'size_we'", {false, false, {}, {}, 2, true}},
        {"nil", {}}},
       {"'hand'", "'IBEAM'", "true", "1"},
       "Lua UI event result field 'cursor' must be 'arrow', 'ibeam', or 'size_we'"},
  };
  ControlEvent event;
  event.kind = ControlEventKind::PointerDown;
  for (const Field& field : fields) {
    const std::string report = field.report != nullptr
                                   ? field.report
                                   : std::string("Lua UI event result field '") + field.name + "' " + kActions;
    std::vector<std::tuple<std::string, EventResult, bool>> cases;
    for (const auto& [value, result] : field.taken) cases.emplace_back(value, result, true);
    for (const char* value : field.refused) cases.emplace_back(value, EventResult{}, false);
    for (const auto& [value, expected, taken] : cases) {
      // The field alone would be taken: handled = true beside a refused field does not count either.
      const std::string answer = std::string("return {") +
                                 (std::string(field.name) == "handled" ? "" : "handled = true, ") + field.name + " = " +
                                 value + "}";
      ok("answer = function() " + answer + " end");
      const uint64_t id = show(kEvented);
      const ControlRef control{formHandle(), nodeOf("c")};
      EventResult want = expected;
      if (taken && std::string(field.name) != "handled") want.handled = true;
      for (int delivery = 0; delivery < 2; ++delivery) {
        const EventResult result = currentApplication()->deliverControlEvent(id, control, event);
        const EventResult& now = taken ? want : EventResult{};
        EXPECT_EQ(
            std::tie(result.handled, result.redraw, result.focus, result.capture, result.cursor, result.hasCursor),
            std::tie(now.handled, now.redraw, now.focus, now.capture, now.cursor, now.hasCursor))
            << answer << ", delivery " << delivery + 1;
      }
      EXPECT_EQ(ok("return events")[0], taken ? "2" : "1") << answer;
      EXPECT_EQ(takeReports(), taken ? Values{} : Values{report}) << answer;
      ok("window.close(win)");
    }
  }
}

TEST_F(LuaUiCallbacks, CloseRequestsPushedThroughSdlAskTheLifecycle) {
  struct Case {
    const char* onCloseRequest;  // the field's Lua expression
    bool closes;
    const char* report;  // reported at each request
  };
  const Case cases[] = {
      {"nil", true, nullptr},
      {"function() return true end", true, nullptr},
      {"function() return false end", false, nullptr},
      {"function() return nil end", false, "Lua UI 'on_close_request' callback must return a boolean"},
      {"function() error('no closing') end", false, "Lua UI 'on_close_request' callback failed: "},
  };
  for (const Case& c : cases) {
    const uint64_t id = show(std::string("f = form.create({}) result = nil assert(form.bind_lifecycle(f, {"
                                         "on_complete = function(_, r) result = r end, on_close_request = ") +
                             c.onCloseRequest + "}))");
    for (int request = 0; request < 2 && registry().exists(id); ++request) {
      pushWindowEvent(SDL_EVENT_WINDOW_CLOSE_REQUESTED, id);
      settle();
      EXPECT_EQ(registry().exists(id), !c.closes) << c.onCloseRequest;
      const Values reports = takeReports();
      if (c.report == nullptr) {
        EXPECT_TRUE(reports.empty()) << c.onCloseRequest;
      } else {
        ASSERT_EQ(reports.size(), 1u) << c.onCloseRequest << " asked again at each request";
        EXPECT_THAT(reports[0], StartsWith(c.report));
      }
    }
    EXPECT_EQ(ok("return result")[0], c.closes ? "cancel" : "nil") << c.onCloseRequest;
    if (!c.closes) ok("assert(form.close(f, 'ok')) assert(result == 'ok')");
  }
}

TEST_F(LuaUiCallbacks, AControlMayDestroyItsOwnFormFromAFocusEvent) {
  show(R"(
    f = form.create({})
    p = assert(pane.create(f, {length = "weighted"}))
    assert(layout.append(f, form.root_layout(f), p))
    c = assert(control.create(f, {focusable = true, event = function(self, event)
      if event.kind == "focus_gained" then destroyed = form.destroy(f) end
      return {handled = "yes"}  -- a bad answer: the control's switch is cleared after its form went
    end}))
    assert(pane.attach(f, p, c)))");
  ok("focused = form.focus(f, c)");
  EXPECT_EQ(ok("return destroyed, form.is_valid(f)"), (Values{"true", "false"}));
  settle();
  EXPECT_EQ(takeReports(), Values{"Lua UI event result field 'handled' must be a boolean"});
}

TEST_F(LuaUiCallbacks, AControlPaintsTheSameDipsAtScaleOneAndOneAndAHalf) {
  const uint64_t id = show(R"(
    f = form.create({background = {0, 0, 0}})
    p = assert(pane.create(f, {length = "weighted"}))
    assert(layout.append(f, form.root_layout(f), p))
    c = assert(control.create(f, {draw = function(_, canvas)
      canvas:fill_rect(1, 0, 1, 1, {255, 0, 0})
      canvas:fill_rect(0, 2, 2, 1, {0, 255, 0})
    end}))
    assert(pane.attach(f, p, c)))",
                           20, 10);
  const auto pixel = [&](int x, int y) {
    SDL_Surface* surface = SDL_GetWindowSurface(registry().window(id).sdlWindow());
    return static_cast<const uint32_t*>(surface->pixels)[y * (surface->pitch / 4) + x] & 0xFFFFFFu;
  };
  const uint32_t red = 0xFF0000u, green = 0x00FF00u, black = 0;
  EXPECT_EQ((std::vector<uint32_t>{pixel(0, 0), pixel(1, 0), pixel(2, 0), pixel(1, 1), pixel(0, 2), pixel(1, 2),
                                   pixel(2, 2)}),
            (std::vector<uint32_t>{black, red, black, black, green, green, black}));

  // The same form painted at 1.5: DIP edges 1 and 2 land on pixels 2 and 3, rows 2 to 3 on pixels 3 to 5.
  registry().invalidate(id);
  WindowRenderer& renderer = *registry().window(id).renderer();
  WindowMetrics metrics = registry().window(id).metrics();
  metrics.displayScale = 1.5;
  renderer.beginDrawing();
  {
    ui::DrawList list(renderer, metrics, registry().textContext(id));
    currentApplication()->drawForm(formHandle(), list);
  }
  renderer.endDrawing();
  EXPECT_EQ((std::vector<uint32_t>{pixel(1, 0), pixel(2, 0), pixel(2, 1), pixel(3, 0), pixel(0, 3), pixel(2, 4),
                                   pixel(3, 3), pixel(0, 5)}),
            (std::vector<uint32_t>{black, red, red, black, green, green, black, black}));
}

TEST_F(LuaUiCallbacks, TextAndGlyphFailuresAreLuaErrorsWithTheirText) {
  show(R"(
    f = form.create({})
    p = assert(pane.create(f, {length = "weighted"}))
    assert(layout.append(f, form.root_layout(f), p))
    missing = ui_font.create({path = "/nonexistent/font.ttf", size = 12})
    ui_glyph.register_font("broken", missing, "x")
    -- The text before the zero byte names a loadable font, which must not stand in for this one.
    zeroed = ui_font.create({path = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf\0.x", size = 12})
    c = assert(control.create(f, {draw = function(_, canvas)
      failures = {
        select(2, pcall(canvas.measure_text, canvas, missing, "x")),
        select(2, pcall(canvas.draw_text, canvas, missing, "x", 0, 0, {0, 0, 0})),
        select(2, pcall(canvas.draw_glyph, canvas, "broken", 0, 0, 10, 10, {0, 0, 0})),
        select(2, pcall(canvas.measure_text, canvas, zeroed, "x")),
      }
      canvas:fill_rect(0, 0, 1, 1, {1, 2, 3})  -- the phase is intact
    end}))
    assert(pane.attach(f, p, c)))");
  Values expected(3, "failed to load UI font '/nonexistent/font.ttf'");
  expected.push_back(
      "failed to load UI font '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf\\0.x' (the path holds a "
      "zero byte)");
  EXPECT_EQ(ok("return table.unpack(failures)"), expected);
  EXPECT_TRUE(takeReports().empty());
}

TEST_F(LuaUiCallbacks, AFallbackPathWithAZeroByteIsNotTheFileBeforeIt) {
  // U+01C4 is in DejaVu Sans, not in DejaVu Sans Mono: only a fallback that loads DejaVu Sans widens it.
  show(R"(
    f = form.create({})
    p = assert(pane.create(f, {length = "weighted"}))
    assert(layout.append(f, form.root_layout(f), p))
    local mono = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"
    local sans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
    alone = ui_font.create({path = mono, size = 12})
    zeroed = ui_font.create({path = mono, size = 12, fallbacks = {sans .. "\0.x"}})
    whole = ui_font.create({path = mono, size = 12, fallbacks = {sans}})
    c = assert(control.create(f, {draw = function(_, canvas)
      widths = {canvas:measure_text(alone, "\u{1C4}"), canvas:measure_text(zeroed, "\u{1C4}"),
                canvas:measure_text(whole, "\u{1C4}")}
    end}))
    assert(pane.attach(f, p, c)))");
  const Values widths = ok("return widths[1], widths[2], widths[3]");  // each call but the last gives one value
  ASSERT_EQ(widths.size(), 3u);
  EXPECT_EQ(widths[1], widths[0]);
  EXPECT_NE(widths[2], widths[0]);
}

}  // namespace
