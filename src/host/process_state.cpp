// Process-wide host state. The wake-up type and the main window's SDL id are atomic because worker threads
// push wake-up events; the shutdown flag because service threads read it.
#include "host/process_state.h"

#include <atomic>

namespace {

lua_State* mainState = nullptr;
std::atomic<uint32_t> wakeUpType{0};
std::atomic<uint32_t> mainWindowSdl{0};
std::atomic<bool> shuttingDown{false};

}  // namespace

lua_State* mainLuaState() { return mainState; }
void setMainLuaState(lua_State* L) { mainState = L; }

uint32_t wakeUpEventType() { return wakeUpType.load(std::memory_order_acquire); }
void setWakeUpEventType(uint32_t type) { wakeUpType.store(type, std::memory_order_release); }

uint32_t mainWindowSdlId() { return mainWindowSdl.load(std::memory_order_acquire); }
void setMainWindowSdlId(uint32_t id) { mainWindowSdl.store(id, std::memory_order_release); }

bool processShuttingDown() { return shuttingDown.load(std::memory_order_acquire); }
void beginProcessShutdown() { shuttingDown.store(true, std::memory_order_release); }
