// The root of a window that shows a form. The calls may replace or remove this root (a form attached,
// detached or destroyed when their UI-work scope ends), so nothing of it is read after them.
#include "ui/application.h"
#include "ui/root.h"

namespace ui {

bool FormRoot::handleEvent(const WindowEvent& event) {
  Application& application = application_;
  const FormHandle form = form_;
  if (event.type == "close_requested") {
    std::string ignored;
    application.requestWindowClose(form, ignored);
  } else {
    application.dispatchEventInScope(form, event);
  }
  return false;
}

void FormRoot::setPointer(const PointerPosition& pointer) { application_.updatePointer(form_, pointer); }

void FormRoot::resize(int32_t width, int32_t height) { application_.resizeForm(form_, width, height); }

void FormRoot::draw(DrawList& list, TextContext&) { application_.drawForm(form_, list); }

}  // namespace ui
