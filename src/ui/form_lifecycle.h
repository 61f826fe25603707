// What the host asks of a form's script-side lifecycle: whether it is bound, the form's own event handler,
// whether the form may close, the close result (the first stored one wins), and the one completion call.
// The form's slot owns it; releasing it runs no callback.
#pragma once

#include <string>

#include "ui/control_event.h"

namespace ui {

class FormLifecycle {
 public:
  virtual ~FormLifecycle() = default;
  // Its runtime is active on this thread and its handlers are reachable.
  virtual bool isBound() const = 0;
  // True when the form's handler took the event; false when unbound or the handler failed.
  virtual bool dispatchEvent(const ControlEvent& event) = 0;
  // True when the form may close: bound and its close handler allowed it (or has none).
  virtual bool requestClose() = 0;
  // Stores the result unless one is stored already.
  virtual void setResult(std::string result) = 0;
  virtual bool hasResult() const = 0;
  virtual std::string resultOr(const std::string& fallback) const = 0;
  // The first call marks the lifecycle completed and, when bound, runs its completion handler.
  virtual void complete(const std::string& result) = 0;
};

}  // namespace ui
