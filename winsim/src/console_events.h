// What process creation needs of console events.
#pragma once

namespace winsim::detail {

// Whether SetConsoleCtrlHandler(NULL, TRUE) is in force: a child started now inherits it, as it
// inherits the attribute on the platform.
bool console_ignores_ctrl_c();

// In a child between fork and exec, with every signal blocked: the console signals go back to
// their default action (SIGINT ignored when `ignore_ctrl_c`), so that winsim's handlers, which
// write to the parent's dispatcher, never run in the child. Async-signal-safe.
void reset_console_signals_in_child(bool ignore_ctrl_c);

}  // namespace winsim::detail
