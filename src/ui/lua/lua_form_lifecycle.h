// A form's binding to its Lua lifecycle table (on_close_request, on_complete, event): what the UI host asks
// when the form's window is asked to close, when the form ends and when an event bubbles to the form. The
// first stored close result wins, and on_complete runs at most once; a lifecycle whose runtime has shut
// down counts as completed without calling Lua.
#pragma once

#include <memory>
#include <string>

#include "ui/form_lifecycle.h"
#include "ui/lua/lua_ui_runtime.h"

namespace ui::lua {

class FormLifecycle final : public ui::FormLifecycle {
 public:
  FormLifecycle(std::shared_ptr<Runtime> runtime, Reference table)
      : runtime_(std::move(runtime)), table_(std::move(table)) {}

  bool isBound() const override;
  bool dispatchEvent(const ControlEvent& event) override;
  bool requestClose() override;
  void setResult(std::string result) override;
  bool hasResult() const override { return hasResult_; }
  std::string resultOr(const std::string& fallback) const override { return hasResult_ ? result_ : fallback; }
  void complete(const std::string& result) override;

 private:
  std::shared_ptr<Runtime> runtime_;
  Reference table_;
  std::string result_;
  bool hasResult_ = false;
  bool onCompleteEnabled_ = true;
  bool eventEnabled_ = true;
  bool completed_ = false;
};

}  // namespace ui::lua
