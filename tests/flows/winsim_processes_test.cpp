// winsim's processes as the launch and the DACL edit lock meet them: the console's events, and
// named mutexes across the processes of a shared machine. A case that ends its process runs in a
// child of its own.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <winsim/testing.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <thread>

#include "acl/dacl_lock.h"
#include "runtime/exit_status.h"
#include "support/env.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/api.h"
#include "win/security_descriptor.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

using WinsimProcesses = testing::MachineTest;

// The program's handler: it takes every event and says which, and whether it ran on the main
// thread.
std::atomic<pthread_t> main_thread;
std::atomic<bool> taken{false};
BOOL takes_it(DWORD event) {
  const bool on_main = pthread_equal(pthread_self(), main_thread.load());
  std::fprintf(stderr, "event %lu%s;", static_cast<unsigned long>(event), on_main ? " main" : "");
  taken = true;
  return TRUE;
}

// Ctrl-C (SIGINT) runs the handler on a thread of its own; a handler that takes it keeps the
// process, while the command in its job ends as Ctrl-C ends a program. Then the
// console's close (SIGHUP) ends the process whatever the handler returns, and Ctrl-C once the
// handler is removed ends it as by default.
TEST_F(WinsimProcesses, ConsoleEventsReachTheHandlersAndTheCommand) {
  for (const int then : {SIGHUP, SIGINT}) {
    EXPECT_EXIT(
        {
          for (int signal : {SIGINT, SIGHUP})  // a script may have started the test ignoring them
            ::signal(signal, SIG_DFL);
          winsim::reset();
          main_thread = pthread_self();
          SetConsoleCtrlHandler(takes_it, TRUE);
          // The command, started as the launch starts it: suspended, in a job, resumed.
          WideString line = to_wide_nul("sleep 30");
          STARTUPINFOW startup{};
          startup.cb = sizeof startup;
          PROCESS_INFORMATION command{};
          CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                         nullptr, &startup, &command);
          AssignProcessToJobObject(CreateJobObjectW(nullptr, nullptr), command.hProcess);
          ResumeThread(command.hThread);
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          ::kill(::getpid(), SIGINT);  // the program only: winsim passes it on to the command
          DWORD code = 0;
          WaitForSingleObject(command.hProcess, INFINITE);
          GetExitCodeProcess(command.hProcess, &code);
          while (!taken)
            ::usleep(1000);
          std::fprintf(stderr, "command %lx;", static_cast<unsigned long>(code));
          if (then == SIGINT) SetConsoleCtrlHandler(takes_it, FALSE);
          ::kill(::getpid(), then);
          for (;;)
            ::pause();
        },
        ::testing::KilledBySignal(then),
        then == SIGHUP ? "^event 0;command c000013a;event 2;$" : "^event 0;command c000013a;$");
  }
}

HANDLE create_mutex(const char16_t* name, bool take = false) {
  return CreateMutexExW(nullptr, name, take ? CREATE_MUTEX_INITIAL_OWNER : 0,
                        SYNCHRONIZE | MUTEX_MODIFY_STATE);
}

// On a shared machine a named mutex is one for every process: another process finds it owned,
// and an owner that ends holding it abandons it to the next, once. Ownership is recursive.
TEST_F(WinsimProcesses, AMutexIsOwnedRecursivelyAndAbandonedAcrossProcesses) {
  testing::TempDir dir;
  testing::ScopedEnv shared("WINSIM_STATE", dir / "state");
  winsim::reset();
  int owned[2];
  ASSERT_EQ(::pipe(owned), 0);
  const pid_t owner = ::fork();
  if (owner == 0) {
    const bool got = WaitForSingleObject(create_mutex(u"Global\\m"), 0) == WAIT_OBJECT_0;
    [[maybe_unused]] auto written = ::write(owned[1], got ? "t" : "f", 1);
    for (;;)
      ::pause();
  }
  char byte = 0;
  EXPECT_TRUE(::read(owned[0], &byte, 1) == 1 && byte == 't');
  unique_handle mutex(create_mutex(u"Global\\m"));
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 50), WAIT_TIMEOUT);
  ::kill(owner, SIGKILL);
  ::waitpid(owner, nullptr, 0);
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_ABANDONED);
  EXPECT_EQ(WaitForSingleObject(mutex.get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex.get()) && ReleaseMutex(mutex.get()));
  EXPECT_FALSE(ReleaseMutex(mutex.get()));
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
  ::close(owned[0]);
  ::close(owned[1]);
}

// A child that takes `name` (as a mutex it owns, or as an event) with `sddl` as its DACL (none:
// the default) and keeps it until it is killed; returns once it holds the name.
pid_t child_holding(const char16_t* name, bool as_event, const char* sddl = nullptr) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    std::optional<SECURITY_ATTRIBUTES> attributes;
    auto descriptor = SddlDescriptor::parse(sddl != nullptr ? sddl : "D:");
    if (sddl != nullptr && descriptor) attributes = descriptor->attributes();
    SECURITY_ATTRIBUTES* given = attributes ? &*attributes : nullptr;
    const bool held = as_event ? CreateEventW(given, TRUE, FALSE, name) != nullptr
                               : WaitForSingleObject(CreateMutexExW(given, name, 0, SYNCHRONIZE),
                                                     0) == WAIT_OBJECT_0;
    [[maybe_unused]] auto written = ::write(ready[1], held ? "t" : "f", 1);
    for (;;)
      ::pause();
  }
  char byte = 0;
  const bool held = ::read(ready[0], &byte, 1) == 1 && byte == 't';
  ::close(ready[0]);
  ::close(ready[1]);
  if (!held) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return -1;
  }
  return child;
}

void end(pid_t child) {
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

// A name belongs to one kind of object at a time, its DACL decides who may open it, and it goes
// with the last process that held it, killed or not; then anyone may make it anew.
TEST_F(WinsimProcesses, ANamedObjectHasAKindADaclAndGoesWithItsLastHolder) {
  testing::TempDir dir;
  testing::ScopedEnv shared("WINSIM_STATE", dir / "state");
  winsim::reset();
  const pid_t events = child_holding(u"Global\\e", true);
  const pid_t system_only = child_holding(u"Global\\m", false, "D:(A;;GA;;;SY)");
  ASSERT_TRUE(events > 0 && system_only > 0);
  auto error_of = [](HANDLE handle) {
    const DWORD error = GetLastError();
    if (handle != nullptr) CloseHandle(handle);
    return error;
  };
  EXPECT_EQ(error_of(create_mutex(u"Global\\e")), DWORD{ERROR_INVALID_HANDLE});
  EXPECT_EQ(error_of(OpenMutexW(SYNCHRONIZE, FALSE, u"Global\\e")), DWORD{ERROR_INVALID_HANDLE});
  EXPECT_EQ(error_of(CreateEventW(nullptr, TRUE, FALSE, u"Global\\e")),
            DWORD{ERROR_ALREADY_EXISTS});
  EXPECT_EQ(error_of(create_mutex(u"Global\\m")), DWORD{ERROR_ACCESS_DENIED});
  EXPECT_EQ(error_of(CreateEventW(nullptr, TRUE, FALSE, u"Global\\m")),
            DWORD{ERROR_INVALID_HANDLE});
  EXPECT_EQ(error_of(create_mutex(u"e")), DWORD{ERROR_SUCCESS});  // the session's, not Global's
  end(events);
  end(system_only);
  EXPECT_EQ(error_of(OpenMutexW(SYNCHRONIZE, FALSE, u"Global\\m")), DWORD{ERROR_FILE_NOT_FOUND});
  EXPECT_EQ(error_of(OpenMutexW(SYNCHRONIZE, FALSE, u"Global\\e")), DWORD{ERROR_FILE_NOT_FOUND});
  EXPECT_EQ(error_of(create_mutex(u"Global\\e")), DWORD{ERROR_SUCCESS});
}

// Another process keeping the lock costs a process one wait of its whole budget, not one per
// edit: the first hold waits it out and warns, every later one goes on at once. Asking for the
// lock while holding it is a broken invariant, never a second wait.
TEST_F(WinsimProcesses, TheEditLocksWaitsShareOneBudget) {
  testing::TempDir dir;
  testing::ScopedEnv shared("WINSIM_STATE", dir / "state");
  winsim::reset();
  const pid_t holder = child_holding(u"Global\\tavo-sandbox-dacl-edit", false);
  ASSERT_GT(holder, 0);
  {
    testing::LogCapture log(Level::Warn);
    DaclEditLock lock(std::chrono::milliseconds(100));
    for (int edit = 0; edit < 3; ++edit)
      [[maybe_unused]] const DaclEditLock::Held held = lock.hold();
    EXPECT_EQ(winsim::count_calls("WaitForSingleObject"), 1u);
    EXPECT_EQ(winsim::count_calls("CreateMutexExW"), 1u);
    EXPECT_EQ(log.count("DACL edit lock Global\\tavo-sandbox-dacl-edit still held by another "
                        "process after "),
              1u)
        << log.text();
  }
  end(holder);
  DaclEditLock lock;
  const DaclEditLock::Held held = lock.hold();
  EXPECT_EXIT([[maybe_unused]] const DaclEditLock::Held again = lock.hold(),
              ::testing::ExitedWithCode(kStatusInternal), "held");
}

}  // namespace
}  // namespace tavo
