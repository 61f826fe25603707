// A control with scripted answers and an event log, and small builders of control records.
#pragma once

#include <functional>
#include <vector>

#include "ui/control.h"
#include "ui/draw_list.h"
#include "ui/form_nodes.h"
#include "ui/text_context.h"

// A control that answers what the test sets, logs what it receives, and paints its bounds in one colour.
class FakeControl : public ui::Control {
 public:
  explicit FakeControl(const ui::ControlDescription& description = {}, ui::Size size = {10, 10})
      : ui::Control(description), size_(size) {}

  std::vector<ControlEventKind> events;
  ControlEvent last;  // the last event received
  std::function<EventResult(const ControlEvent&)> onEvent;
  std::function<void()> onDraw;
  std::function<void()> onMeasure;  // runs before the size is answered
  ui::Size size_;
  uint32_t color = 0xFF0000FFu;  // opaque red in the UI packing
  ui::TextContext* contextSeen = nullptr;

 protected:
  ui::Size measure(const ui::Constraints&) override {
    if (!onMeasure) return size_;
    const ui::Size size = size_;  // onMeasure may destroy this control
    onMeasure();
    return size;
  }
  void draw(ui::DrawList& list) override {
    list.fillRect(bounds(), color);
    if (onDraw) onDraw();
  }
  EventResult handleEvent(const ControlEvent& event) override {
    events.push_back(event.kind);
    last = event;
    contextSeen = ui::currentRenderContext();
    return onEvent ? onEvent(event) : EventResult{};
  }
};

inline ControlEvent eventOfKind(ControlEventKind kind) {
  ControlEvent event;
  event.kind = kind;
  return event;
}

// Visible, enabled and focusable.
inline ui::ControlDescription focusable() {
  ui::ControlDescription description;
  description.focusable = true;
  return description;
}

inline EventResult handled() {
  EventResult result;
  result.handled = true;
  return result;
}

inline PaneSpec paneOfLength(PaneLength length, std::string name = {}) {
  PaneSpec settings;
  settings.length = length;
  settings.name = std::move(name);
  return settings;
}
