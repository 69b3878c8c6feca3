#include "launch/console_events.h"

#include <condition_variable>
#include <mutex>

#include "runtime/log.h"
#include "win/error.h"

namespace tavo {
namespace {

// Shared with the handler's thread. Never destroyed: a handler may still run while the process
// goes down.
struct HandlerState {
  std::mutex mutex;
  std::condition_variable rolled_back;
  HANDLE stop = nullptr;  // while a run's command may run
};

HandlerState& handler_state() {
  static auto* state = new HandlerState;
  return *state;
}

BOOL WINAPI on_console_event(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;  // the command's call
  HandlerState& state = handler_state();
  std::unique_lock lock(state.mutex);
  if (state.stop == nullptr) return FALSE;  // the default: end now
  SetEvent(state.stop);
  // The platform ends the process once this returns, or when its time for handlers is up.
  state.rolled_back.wait(lock, [&] { return state.stop == nullptr; });
  return TRUE;
}

}  // namespace

ConsoleEventGuard::ConsoleEventGuard() {
  stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stop_) {
    log(Level::Debug, kTargetMain, "console events keep their default: no event: {}",
        HresultError::from_last_error());
    return;
  }
  {
    std::lock_guard lock(handler_state().mutex);
    handler_state().stop = stop_.get();
  }
  installed_ = SetConsoleCtrlHandler(on_console_event, TRUE) != FALSE;
  if (!installed_) {
    log(Level::Debug, kTargetMain, "console events keep their default: {}",
        HresultError::from_last_error());
  }
}

void ConsoleEventGuard::rollback_done() {
  HandlerState& state = handler_state();
  {
    std::lock_guard lock(state.mutex);
    if (state.stop == nullptr) return;
    state.stop = nullptr;
  }
  state.rolled_back.notify_all();
  if (installed_) SetConsoleCtrlHandler(on_console_event, FALSE);
  installed_ = false;
}

}  // namespace tavo
