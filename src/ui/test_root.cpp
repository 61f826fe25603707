// The test root's painting: background, a left bar coloured by the window id, a bottom bar coloured by the
// event count, and a square under the pointer.
#include <algorithm>

#include "ui/draw_list.h"
#include "ui/root.h"

namespace ui {

namespace {

uint32_t packColor(uint32_t red, uint32_t green, uint32_t blue) { return red | green << 8 | blue << 16 | 0xFFu << 24; }

}  // namespace

bool TestRoot::handleEvent(const WindowEvent& event) {
  ++eventCount_;
  return event.type == "close_requested";
}

void TestRoot::draw(DrawList& list, TextContext&) {
  const int32_t width = size_.width;
  const int32_t height = size_.height;
  list.setClip({0, 0, width, height});
  list.fillRect({0, 0, width, height}, 0xff261f1cu);

  const int32_t barWidth = width <= 15 ? 1 : width / 8;
  list.fillRect({0, 0, barWidth, height}, packColor(72 + static_cast<uint32_t>((windowId_ * 29) % 120), 0x69, 0xBE));
  const int32_t barHeight = height < 12 ? 1 : height / 6;
  list.fillRect({0, height - barHeight, width, barHeight},
                packColor(40 + static_cast<uint32_t>(eventCount_ % 80), 0x2F, 0x3A));

  if (!pointer_.present) return;
  const bool small = width <= 15 || height < 12 || std::min(width, height) < 120;
  const int32_t side = small ? 4 : std::min(width, height) / 24;
  const int32_t offset = small ? -2 : -(std::min(width, height) / 48);
  const auto x = static_cast<int32_t>(std::clamp<int64_t>(int64_t{pointer_.x} + offset, 0, std::max(width - side, 0)));
  const auto y = height - side <= 0
                     ? 0
                     : static_cast<int32_t>(std::clamp<int64_t>(int64_t{pointer_.y} + offset, 0, height - side));
  list.fillRect({x, y, side, side}, 0xffdcdcdcu);
}

}  // namespace ui
