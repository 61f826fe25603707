// The overlay layers of the windows: lookup, removal of a form's overlays, pruning of records that no
// longer qualify, and painting after the form tree.
#include <algorithm>

#include "ui/application_state.h"
#include "ui/draw_list.h"

OverlayLayer* Application::overlayLayer(uint64_t window) {
  const auto found = state_->overlayLayers.find(window);
  return found == state_->overlayLayers.end() ? nullptr : &found->second;
}

OverlayLayer& Application::overlayLayerFor(uint64_t window) { return state_->overlayLayers[window]; }

void Application::removeOverlaysOfForm(const ui::FormHandle& form) {
  for (auto& [window, layer] : state_->overlayLayers) {
    std::vector<ui::FormHandle> owners;
    for (const OverlayRecord& record : layer.records()) {
      if (std::find(owners.begin(), owners.end(), record.key.form) == owners.end() &&
          isFormInside(record.key.form, form)) {
        owners.push_back(record.key.form);
      }
    }
    for (const ui::FormHandle& owner : owners) layer.removeForm(owner);
  }
}

namespace {

// An anchor still holds a popup: a parent popup that is an anchored record of the layer and takes pointer
// events, or an ordinary control of its form that is shown and takes pointer events.
bool anchorQualifies(const OverlayLayer& layer, const FormModel& model, const ControlRef& anchor) {
  if (model.isOverlayControl(anchor.control)) {
    return layer.isAnchored(anchor) && model.overlayControlAcceptsPointer(anchor.control);
  }
  return model.controlAcceptsPointer(anchor.control);
}

}  // namespace

void Application::pruneOverlays() {
  for (auto& [window, layer] : state_->overlayLayers) {
    std::vector<ControlRef> stale;
    for (const OverlayRecord& record : layer.records()) {
      const FormSlot* slot = slotOf(record.key.form);
      bool keep =
          slot != nullptr && slot->form->isOverlayControl(record.key.control) && isFormShownIn(record.key.form, window);
      if (keep && record.anchored) {
        const FormSlot* anchorSlot = slotOf(record.anchor.form);
        keep = anchorSlot != nullptr && anchorQualifies(layer, *anchorSlot->form, record.anchor);
      }
      if (!keep) stale.push_back(record.key);
    }
    for (const ControlRef& key : stale) layer.erase(key);
  }
  std::erase_if(state_->overlayLayers,
                [&](const auto& entry) { return entry.second.empty() || !state_->windows.exists(entry.first); });
}

// Bottom first, so a later record paints over an earlier one. The layer is looked up again after every
// record, since drawing runs controls.
void Application::drawOverlays(uint64_t window, ui::DrawList& list) {
  for (size_t i = 0;; ++i) {
    const OverlayLayer* layer = overlayLayer(window);
    if (layer == nullptr || i >= layer->records().size()) return;
    const ControlRef key = layer->records()[i].key;
    if (FormModel* model = formModel(key.form)) model->drawOverlayControl(key.control, list);
  }
}
