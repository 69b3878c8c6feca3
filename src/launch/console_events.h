// What console events do to a run while its command runs.
#pragma once

#include "win/unique.h"

namespace tavo {

// While alive, Ctrl-C and Ctrl-Break do not end this process: the command shares the console,
// gets the same event and decides for itself; the run then ends as usual when the command does.
// A close, logoff or shutdown event, after which the platform ends this process within seconds,
// signals stop_event() (the launch then ends the command's job) and holds the process until the
// run says its rollback is done. Before and after, the events behave as by default.
//
// The handler runs on a thread of its own and touches nothing but the event: every platform call
// of the rollback stays on the run's thread.
class ConsoleEventGuard {
 public:
  ConsoleEventGuard();
  ~ConsoleEventGuard() { rollback_done(); }
  ConsoleEventGuard(const ConsoleEventGuard&) = delete;
  ConsoleEventGuard& operator=(const ConsoleEventGuard&) = delete;

  // Null when the guard could not be set up; the command then runs with the default behaviour.
  HANDLE stop_event() const { return stop_.get(); }

  // The run has taken back what it must: a waiting handler may let the process end, and the
  // events behave as by default again.
  void rollback_done();

 private:
  unique_handle stop_;
  bool installed_ = false;
};

}  // namespace tavo
