// The Lua form lifecycle: each question to the scripts goes through the runtime's invokers, which report
// failures instead of raising them. The host asks inside UI work, where destroying a form is only queued,
// or after taking the lifecycle out of its slot, so a handler never destroys the lifecycle it runs for.
#include "ui/lua/lua_form_lifecycle.h"

namespace ui::lua {

bool FormLifecycle::isBound() const { return runtime_ && runtime_->isActiveOnThisThread() && table_.isValid(); }

bool FormLifecycle::dispatchEvent(const ControlEvent& event) {
  if (!isBound()) return false;
  const std::shared_ptr<Runtime> runtime = runtime_;
  return runtime->callFormEvent(table_, event, eventEnabled_);
}

bool FormLifecycle::requestClose() {
  if (!isBound()) return false;
  const std::shared_ptr<Runtime> runtime = runtime_;
  bool allow = false;
  return runtime->callCloseRequest(table_, allow) && allow;
}

void FormLifecycle::setResult(std::string result) {
  if (hasResult_) return;
  result_ = std::move(result);
  hasResult_ = true;
}

void FormLifecycle::complete(const std::string& result) {
  if (completed_) return;
  completed_ = true;
  if (!isBound()) return;
  const std::shared_ptr<Runtime> runtime = runtime_;
  runtime->callComplete(table_, result, onCompleteEnabled_);
}

}  // namespace ui::lua
