// A deferred piece of UI work: a movable callable with no arguments and no result. Calling an empty one
// throws, like a callback that failed.
#pragma once

#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace ui {

class DeferredCallback {
 public:
  DeferredCallback() = default;
  template <typename Function, typename = std::enable_if_t<!std::is_same_v<std::decay_t<Function>, DeferredCallback>>>
  DeferredCallback(Function&& function)  // NOLINT: implicit, like std::function
      : callable_(std::make_unique<Holder<std::decay_t<Function>>>(std::forward<Function>(function))) {}

  explicit operator bool() const { return callable_ != nullptr; }
  void operator()() {
    if (!callable_) throw std::runtime_error("deferred UI callback is empty");
    callable_->call();
  }

 private:
  struct Callable {
    virtual ~Callable() = default;
    virtual void call() = 0;
  };
  template <typename Function>
  struct Holder final : Callable {
    explicit Holder(Function&& made) : function(std::move(made)) {}
    explicit Holder(const Function& made) : function(made) {}
    void call() override { function(); }
    Function function;
  };

  std::unique_ptr<Callable> callable_;
};

}  // namespace ui
