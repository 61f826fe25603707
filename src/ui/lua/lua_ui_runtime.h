// The Lua UI runtime: the one object through which native UI code keeps Lua values alive (registry
// references) and calls back into the scripts. It belongs to the main Lua state and the thread that created
// it and answers nothing else (coroutines of that state included). After its shutdown it is inactive for
// good: references report invalid, pushes fail, releases do nothing and callbacks are not called, so UI
// objects that outlive the Lua state never touch it.
//
// The state tells the runtime when it closes, also when the scripts close it themselves (os.exit(code,
// true)) while UI objects still hold references: a value in the registry whose finalizer runs only then
// leaves the runtime inactive, its references forgotten, and no runtime is made for that state again.
//
// Every callback invoker runs its whole frame (fetching the callback, pushing its arguments, the call and
// reading its results) inside one protected call, and reports any failure through reportError: nothing is
// raised into the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>

#include "ui/control_event.h"
#include "ui/ui_types.h"

struct lua_State;

namespace ui::lua {

class ControlCanvas;
class Runtime;

// A registry reference that remembers its runtime; movable, not copyable. Destroying or resetting it
// releases the registry entry, unless the runtime has shut down.
class Reference {
 public:
  Reference() = default;
  Reference(std::shared_ptr<Runtime> runtime, int id) : runtime_(std::move(runtime)), id_(id) {}
  Reference(Reference&& other) noexcept;
  Reference& operator=(Reference&& other) noexcept;
  Reference(const Reference&) = delete;
  Reference& operator=(const Reference&) = delete;
  ~Reference() { reset(); }

  // Its runtime is active on this thread and it names an entry.
  bool isValid() const;
  void reset() noexcept;
  int id() const { return id_; }
  const Runtime* runtime() const { return runtime_.get(); }

 private:
  std::shared_ptr<Runtime> runtime_;
  int id_ = 0;
};

class Runtime : public std::enable_shared_from_this<Runtime> {
 public:
  // closingWatch names the registry value that tells the runtime its state is closing.
  Runtime(lua_State* L, const void* closingWatch);
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  bool isActiveOnThisThread() const { return active_ && std::this_thread::get_id() == ownerThread_; }
  bool ownsState(lua_State* L) const { return active_ && L == luaState_; }
  lua_State* state() const { return luaState_; }
  size_t liveReferenceCount() const { return liveRefs_.size(); }

  // A reference to the value at the index; empty when the runtime is not active on this thread. Running
  // out of memory leaves no registry entry behind and propagates.
  Reference retain(int index);
  // Forgets the id and unreferences it when the runtime is active on this thread; an unknown id is ignored.
  void releaseRef(int id) noexcept;
  // Pushes the referenced value; false (nothing pushed) unless the runtime is active on this thread and the
  // reference is one of its live ones.
  bool pushReference(const Reference& reference);

  // Hands the message to the scripts' core.on_error, or prints it as one line on standard error (when there
  // is no handler, the handler fails, the runtime is inactive or another report is running).
  void reportError(std::string_view message) noexcept;

  // Unreferences every live id and becomes inactive; refused from another state or thread.
  bool shutdown(lua_State* L, std::string& error);
  // Becomes inactive without touching Lua: the ids are forgotten, not unreferenced.
  void abandon() noexcept;
  const void* closingWatch() const { return closingWatch_; }

  // The callback invokers. A cleared flag (or an inactive runtime, or another thread) skips the call; a
  // failure clears the flag, where there is one, and is reported.
  std::optional<Size> callMeasure(const Reference& definition, ControlCanvas& canvas, const Constraints& constraints,
                                  bool& enabled);
  void callDraw(const Reference& definition, ControlCanvas& canvas, bool& enabled);
  std::optional<EventResult> callEvent(const Reference& definition, const ControlEvent& event, ControlCanvas& canvas,
                                       bool& enabled);
  // True when the question was answered; the answer (allow) in `allow`, false when not answered.
  bool callCloseRequest(const Reference& definition, bool& allow);
  void callComplete(const Reference& definition, const std::string& result, bool& enabled);
  bool callFormEvent(const Reference& definition, const ControlEvent& event, bool& enabled);
  void callDeferred(const Reference& function);

 private:
  // Runs body(L) in one protected call; body returns 0 for success or 1 with a failure message pushed.
  // False after reporting a failure, which the name labels when the call itself raised.
  template <typename Body>
  bool runProtected(const char* name, Body& body);

  lua_State* luaState_;
  const void* closingWatch_;
  bool active_ = true;
  std::unordered_set<int> liveRefs_;
  std::thread::id ownerThread_;
  bool reporting_ = false;
};

// The process-wide runtime for this state on this thread: created on the first call, the same one later;
// empty for another state or thread, and never rebound. Empty too once the state is closing.
std::shared_ptr<Runtime> acquireLuaUiRuntime(lua_State* L);
// Shuts the process-wide runtime down and forgets it; true when there is none. A later acquisition creates
// a new runtime.
bool shutdownLuaUiRuntime(lua_State* L, std::string& error);
// For the host, just before it closes the state L (null when it is closed already): marks L as closing, so
// that finalizers run by lua_close cannot start a new runtime, and makes the process-wide runtime inactive
// without touching Lua and forgets it, whether or not its shutdown was accepted.
void abandonLuaUiRuntime(lua_State* L) noexcept;

// Pushes the Lua table of a control event (kind and button as names, positions, key and text, modifiers).
void pushControlEvent(lua_State* L, const ControlEvent& event);

}  // namespace ui::lua
