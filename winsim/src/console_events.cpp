// Console control events. The host's console signals stand for the platform's events: SIGINT for
// CTRL_C_EVENT, SIGQUIT for CTRL_BREAK_EVENT, SIGHUP for CTRL_CLOSE_EVENT. While a handler (or
// the ignore flag) is registered, winsim's signal handlers only write the signal's number to a
// pipe; a dispatcher thread reads it, forwards the signal to the job groups of the processes this
// process started (they share its console) and starts a new thread that runs the handlers, last
// registered first, until one returns TRUE. Nothing else happens in signal context.
//
// What no handler takes ends the process the way the platform's default handler does, which a
// host reads as a death by that signal (0xC000013A). A close event ends the process once its
// handlers have returned, whatever they return, or when its time runs out.
//
// With nothing registered the host's own dispositions are in place, so a signal does exactly
// what it does to a program that never heard of console events.
#include "console_events.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "internal.h"
#include "processes.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace {

constexpr std::array<int, 3> kConsoleSignals = {SIGINT, SIGQUIT, SIGHUP};
// The time the platform gives a close event's handlers before it ends the process.
constexpr auto kCloseEventTime = std::chrono::seconds(5);

struct Console {
  std::mutex lock;
  std::vector<PHANDLER_ROUTINE> handlers;  // in registration order
  bool ignore_ctrl_c = false;
  bool installed = false;
  std::array<struct sigaction, kConsoleSignals.size()> saved{};
  bool dispatching = false;  // the pipe and its dispatcher thread exist in this process
  int pipe_read = -1;
  int pipe_write = -1;
};

Console& console() {
  static Console instance;
  return instance;
}

// The pipe's write end, the only thing the signal handler touches.
std::atomic<int> signal_pipe{-1};

extern "C" void on_console_signal(int signal) {
  const int saved_errno = errno;
  const int fd = signal_pipe.load(std::memory_order_relaxed);
  const auto byte = static_cast<unsigned char>(signal);
  if (fd >= 0) [[maybe_unused]]
    auto written = ::write(fd, &byte, 1);
  errno = saved_errno;
}

DWORD event_of(int signal) {
  switch (signal) {
    case SIGINT:
      return CTRL_C_EVENT;
    case SIGQUIT:
      return CTRL_BREAK_EVENT;
    default:
      return CTRL_CLOSE_EVENT;
  }
}

// The default handler: the process dies of the signal, as the host reads a Ctrl-C death.
[[noreturn]] void die_of(int signal) {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  ::sigaction(signal, &default_action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);  // not reached: the default action of these signals ends the process
}

// Runs the handlers, last registered first, until one takes the event.
bool handled(const std::vector<PHANDLER_ROUTINE>& handlers, DWORD event) {
  return std::any_of(handlers.rbegin(), handlers.rend(),
                     [event](PHANDLER_ROUTINE handler) { return handler(event) != FALSE; });
}

void deliver(int signal) {
  const DWORD event = event_of(signal);
  std::vector<PHANDLER_ROUTINE> handlers;
  {
    std::lock_guard hold(console().lock);
    if (event == CTRL_C_EVENT && console().ignore_ctrl_c) return;
    handlers = console().handlers;
  }
  if (event == CTRL_CLOSE_EVENT) {
    std::thread([signal] {
      std::this_thread::sleep_for(kCloseEventTime);
      die_of(signal);
    }).detach();
    std::thread([handlers = std::move(handlers), event, signal] {
      handled(handlers, event);
      die_of(signal);
    }).detach();
    return;
  }
  std::thread([handlers = std::move(handlers), event, signal] {
    if (!handled(handlers, event)) die_of(signal);
  }).detach();
}

void dispatch(int pipe_read) {
  for (;;) {
    unsigned char signal = 0;
    const ssize_t n = ::read(pipe_read, &signal, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n != 1) return;  // the pipe was closed in a forked child: nothing left to dispatch
    forward_to_job_groups(signal);
    deliver(signal);
  }
}

// A forked child has the parent's memory but not its dispatcher thread, and the pipe is the
// parent's: the child lets go of it and starts its own when it registers a handler. The lock is
// held across fork() so the child never inherits it held by a thread it does not have.
void before_fork() {
  console().lock.lock();
}
void after_fork_in_parent() {
  console().lock.unlock();
}
void after_fork_in_child() {
  Console& c = console();
  signal_pipe.store(-1, std::memory_order_relaxed);
  if (c.dispatching) {
    ::close(c.pipe_read);
    ::close(c.pipe_write);
  }
  c.dispatching = false;
  c.lock.unlock();
}

// Called with the console locked. False when the host gave no pipe.
bool start_dispatching(Console& c) {
  if (c.dispatching) return true;
  static std::once_flag fork_handlers;
  std::call_once(fork_handlers,
                 [] { ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);  // a flood of signals must never block the handler
  c.pipe_read = fds[0];
  c.pipe_write = fds[1];
  signal_pipe.store(fds[1], std::memory_order_relaxed);
  std::thread(dispatch, fds[0]).detach();
  c.dispatching = true;
  return true;
}

// Called with the console locked: winsim's handlers in place exactly while something is
// registered.
void install_as_needed(Console& c) {
  const bool wanted = c.ignore_ctrl_c || !c.handlers.empty();
  if (wanted == c.installed) return;
  for (std::size_t i = 0; i < kConsoleSignals.size(); ++i) {
    if (wanted) {
      struct sigaction action {};
      action.sa_handler = on_console_signal;
      action.sa_flags = SA_RESTART;
      sigemptyset(&action.sa_mask);
      ::sigaction(kConsoleSignals[i], &action, &c.saved[i]);
    } else {
      ::sigaction(kConsoleSignals[i], &c.saved[i], nullptr);
    }
  }
  c.installed = wanted;
}

// A fresh machine has no handlers registered and the host's dispositions back.
void ensure_section() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    register_section(StateSection{"", {}, {}, [] {
                                    Console& c = console();
                                    std::lock_guard hold(c.lock);
                                    c.handlers.clear();
                                    c.ignore_ctrl_c = false;
                                    install_as_needed(c);
                                  }});
  });
}

}  // namespace

namespace winsim::detail {

bool console_ignores_ctrl_c() {
  std::lock_guard hold(console().lock);
  return console().ignore_ctrl_c;
}

void reset_console_signals_in_child(bool ignore_ctrl_c) {
  for (int signal : kConsoleSignals) {
    struct sigaction action {};
    action.sa_handler = signal == SIGINT && ignore_ctrl_c ? SIG_IGN : SIG_DFL;
    ::sigaction(signal, &action, nullptr);
  }
}

}  // namespace winsim::detail

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  const char* key = handler == nullptr ? (add ? "ignore" : "restore") : (add ? "add" : "remove");
  if (DWORD error = enter_local("SetConsoleCtrlHandler", key)) return fail(error, FALSE);
  ensure_section();
  Console& c = console();
  std::lock_guard hold(c.lock);
  if (handler == nullptr) {
    c.ignore_ctrl_c = add != FALSE;
  } else if (add) {
    if (!start_dispatching(c)) return fail(win32_error_from_errno(errno), FALSE);
    c.handlers.push_back(handler);
  } else {
    auto found = std::find(c.handlers.rbegin(), c.handlers.rend(), handler);
    if (found == c.handlers.rend()) return fail(ERROR_INVALID_PARAMETER, FALSE);
    c.handlers.erase(std::next(found).base());
  }
  if (c.ignore_ctrl_c && !start_dispatching(c)) return fail(win32_error_from_errno(errno), FALSE);
  install_as_needed(c);
  return TRUE;
}
