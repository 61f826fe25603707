// The overlay controls shown in one window, in z-order (the first record is the bottom one): sized
// overlays placed at a rectangle relative to their form, and popups anchored beside an ordinary control or
// beside another popup, which gives popup chains. Keys are unique in a layer; showing a key again removes
// its old record with everything anchored to it and appends it on top.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "ui/ui_types.h"

struct OverlayRecord {
  ControlRef key;
  ui::Rect rect;  // sized overlay: position relative to its form's origin, and size
  ControlRef anchor;
  bool anchored = false;
  std::optional<ui::Rect> anchorBounds;  // relative to the anchor control's bounds
  ui::Size popupSize;
  uint32_t gap = 0;
  uint32_t position = 0;  // 0 below, 1 right
};

class OverlayLayer {
 public:
  struct Parent {
    ControlRef anchor;
    bool anchored = false;
  };

  const std::vector<OverlayRecord>& records() const { return records_; }
  bool empty() const { return records_.empty(); }

  // Removes the key's record and every record anchored to it, transitively.
  bool erase(const ControlRef& key);
  // Removes the first record of the key only.
  bool removeRecord(const ControlRef& key);
  void showSized(const ControlRef& key, const ui::Rect& rect);
  void showAnchored(const ControlRef& key, const ControlRef& anchor, const std::optional<ui::Rect>& anchorBounds,
                    ui::Size size, int32_t gap, uint32_t position);
  // Removes, with their subtrees, the records anchored to the key.
  bool closeChildren(const ControlRef& key);
  bool contains(const ControlRef& key) const { return find(key) != nullptr; }
  bool isAnchored(const ControlRef& key) const;
  std::optional<Parent> parentOf(const ControlRef& key) const;
  // Whether `ancestor` is met walking up the anchors from `key`.
  bool hasAncestor(const ControlRef& key, const ControlRef& ancestor) const;
  // The ordinary control that opened the popup chain of `key`; none when `key` is no popup.
  std::optional<ControlRef> rootAnchorOf(const ControlRef& key) const;
  // Removes the records of the form's controls and those anchored to them.
  void removeForm(const ui::FormHandle& form);

 private:
  const OverlayRecord* find(const ControlRef& key) const;

  std::vector<OverlayRecord> records_;
};
