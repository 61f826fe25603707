// A window's overlay layer: the records and their anchor chains.
#include "ui/overlay_layer.h"

#include <algorithm>

const OverlayRecord* OverlayLayer::find(const ControlRef& key) const {
  const auto found =
      std::find_if(records_.begin(), records_.end(), [&](const OverlayRecord& record) { return record.key == key; });
  return found == records_.end() ? nullptr : &*found;
}

bool OverlayLayer::erase(const ControlRef& key) {
  if (!contains(key)) return false;
  std::vector<ControlRef> doomed{key};
  // Grows while anchored records of doomed keys are found; each key enters once, so it ends.
  for (size_t i = 0; i < doomed.size(); ++i) {
    for (const OverlayRecord& record : records_) {
      if (record.anchored && record.anchor == doomed[i] &&
          std::find(doomed.begin(), doomed.end(), record.key) == doomed.end()) {
        doomed.push_back(record.key);
      }
    }
  }
  std::erase_if(records_, [&](const OverlayRecord& record) {
    return std::find(doomed.begin(), doomed.end(), record.key) != doomed.end();
  });
  return true;
}

bool OverlayLayer::removeRecord(const ControlRef& key) {
  const auto found =
      std::find_if(records_.begin(), records_.end(), [&](const OverlayRecord& record) { return record.key == key; });
  if (found == records_.end()) return false;
  records_.erase(found);
  return true;
}

void OverlayLayer::showSized(const ControlRef& key, const ui::Rect& rect) {
  erase(key);
  OverlayRecord record;
  record.key = key;
  record.rect = {rect.x, rect.y, std::max(rect.width, 0), std::max(rect.height, 0)};
  records_.push_back(record);
}

void OverlayLayer::showAnchored(const ControlRef& key, const ControlRef& anchor,
                                const std::optional<ui::Rect>& anchorBounds, ui::Size size, int32_t gap,
                                uint32_t position) {
  erase(key);
  OverlayRecord record;
  record.key = key;
  record.anchor = anchor;
  record.anchored = true;
  if (anchorBounds) {
    record.anchorBounds =
        ui::Rect{anchorBounds->x, anchorBounds->y, std::max(anchorBounds->width, 0), std::max(anchorBounds->height, 0)};
  }
  record.popupSize = {std::max(size.width, 0), std::max(size.height, 0)};
  record.gap = static_cast<uint32_t>(std::max(gap, 0));
  record.position = position;
  records_.push_back(record);
}

bool OverlayLayer::closeChildren(const ControlRef& key) {
  std::vector<ControlRef> children;
  for (const OverlayRecord& record : records_) {
    if (record.anchored && record.anchor == key) children.push_back(record.key);
  }
  bool removed = false;
  for (const ControlRef& child : children) removed = erase(child) || removed;
  return removed;
}

bool OverlayLayer::isAnchored(const ControlRef& key) const {
  const OverlayRecord* record = find(key);
  return record != nullptr && record->anchored;
}

std::optional<OverlayLayer::Parent> OverlayLayer::parentOf(const ControlRef& key) const {
  const OverlayRecord* record = find(key);
  if (record == nullptr) return std::nullopt;
  return Parent{record->anchor, record->anchored};
}

bool OverlayLayer::hasAncestor(const ControlRef& key, const ControlRef& ancestor) const {
  ControlRef current = key;
  for (size_t budget = records_.size(); budget > 0; --budget) {
    const std::optional<Parent> parent = parentOf(current);
    if (!parent || !parent->anchored) return false;
    if (parent->anchor == ancestor) return true;
    current = parent->anchor;
  }
  return false;
}

std::optional<ControlRef> OverlayLayer::rootAnchorOf(const ControlRef& key) const {
  if (!isAnchored(key)) return std::nullopt;
  ControlRef current = key;
  for (size_t budget = records_.size(); budget > 0; --budget) {
    const ControlRef anchor = find(current)->anchor;
    if (!isAnchored(anchor)) return anchor;
    current = anchor;
  }
  return std::nullopt;
}

void OverlayLayer::removeForm(const ui::FormHandle& form) {
  std::erase_if(records_, [&](const OverlayRecord& record) {
    return record.key.form == form || (record.anchored && record.anchor.form == form);
  });
}
