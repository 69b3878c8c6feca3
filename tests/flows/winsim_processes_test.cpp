// winsim's processes as the launch and the DACL edit lock meet them: a wait on the command woken
// from another thread, the console's events, and named mutexes in one process and across the
// processes of a shared machine. A case that may end its process runs in a fork.
#include <gtest/gtest.h>
#include <pthread.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "flows/winsim_forks.h"
#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/api.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

// A process started as the launch starts it: suspended, in `job` when one is given, resumed.
PROCESS_INFORMATION start(const std::string& command, HANDLE job = nullptr) {
  WideString line = to_wide_nul(command);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  EXPECT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                             nullptr, nullptr, &startup, &started));
  EXPECT_TRUE(job == nullptr || AssignProcessToJobObject(job, started.hProcess));
  EXPECT_EQ(ResumeThread(started.hThread), 1u);
  CloseHandle(started.hThread);
  return started;
}

class WinsimProcesses : public testing::MachineTest {
 protected:
  ~WinsimProcesses() override { winsim::end_processes(); }
};

// The launch waits on the command and on an event that the console handler's thread sets, both
// threads calling all along; the event stays set, an ended process is signalled, and the lowest
// signalled index wins.
TEST_F(WinsimProcesses, AnEventSetOnAnotherThreadWakesTheWaitOnTheCommand) {
  const PROCESS_INFORMATION command = start("sleep 30");
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const HANDLE either[] = {command.hProcess, stop};
  std::thread handler([&] {
    for (int i = 0; i < 300; ++i)
      CloseHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    SetEvent(stop);
  });
  DWORD code = 0;
  for (int i = 0; i < 300; ++i)
    GetExitCodeProcess(command.hProcess, &code);
  EXPECT_EQ(WaitForMultipleObjects(2, either, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
  handler.join();
  EXPECT_EQ(WaitForMultipleObjects(2, either, FALSE, 0), WAIT_OBJECT_0 + 1);
  TerminateProcess(command.hProcess, 7);
  EXPECT_EQ(WaitForSingleObject(command.hProcess, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(2, either, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(2, either, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(command.hProcess);
  CloseHandle(stop);
}

// The program's handler: it reports the event and whether it ran on the main thread, and takes
// the event.
std::atomic<pthread_t> main_thread;
std::atomic<bool> taken{false};
BOOL takes_it(DWORD event) {
  const bool on_main = pthread_equal(pthread_self(), main_thread.load());
  testing::Forks::report("take" + std::to_string(event) + (on_main ? "main;" : ";"));
  taken = true;
  return TRUE;
}

// A child that arranges its handlers, reports "ready;" (after starting a command in a kill-on-close
// job and once that has ended, its exit code), and lives on while no handler has taken an event.
std::function<bool()> console_child(const std::function<void()>& arrange, bool command) {
  return [=] {
    winsim::reset();
    main_thread = pthread_self();
    arrange();
    testing::Forks::report("ready;");
    if (command) {
      HANDLE job = CreateJobObjectW(nullptr, nullptr);
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
      const PROCESS_INFORMATION started = start("sleep 30", job);
      WaitForSingleObject(started.hProcess, INFINITE);
      DWORD code = 0;
      GetExitCodeProcess(started.hProcess, &code);
      std::ostringstream text;
      text << "exit " << std::hex << code << ";";
      testing::Forks::report(text.str());
    }
    while (!taken)
      ::usleep(1000);
    testing::Forks::report("alive;");
    return true;
  };
}

// The parts of a report, in order of their text: the handlers' thread and the main thread report
// in either order.
std::vector<std::string> sorted_parts(const std::string& reported) {
  std::vector<std::string> parts;
  std::istringstream in(reported);
  for (std::string part; std::getline(in, part, ';');)
    parts.push_back(part);
  std::sort(parts.begin(), parts.end());
  return parts;
}

// Ctrl-C (SIGINT) and the console's close (SIGHUP) run the handler on a thread of its own. A
// handler that takes Ctrl-C keeps the process, while the command in its job ends as Ctrl-C ends a
// program; nothing keeps the process through the close. Once the handler is removed (it cannot be
// removed twice), Ctrl-C ends the process as by default.
TEST_F(WinsimProcesses, ConsoleEventsReachTheHandlersAndTheCommand) {
  struct Case {
    std::function<void()> arrange;
    bool command;
    int signal;
    int ended_by;  // 0: exited with success
    std::string reported;
  };
  const Case cases[] = {
      {[] { SetConsoleCtrlHandler(takes_it, TRUE); }, true, SIGINT, 0,
       "ready;take0;exit c000013a;alive;"},
      {[] { SetConsoleCtrlHandler(takes_it, TRUE); }, true, SIGHUP, SIGHUP, "ready;take2;"},
      {[] {
         SetConsoleCtrlHandler(takes_it, TRUE), SetConsoleCtrlHandler(takes_it, FALSE);
         if (SetConsoleCtrlHandler(takes_it, FALSE) || GetLastError() != ERROR_INVALID_PARAMETER)
           ::_exit(3);
       },
       false, SIGINT, SIGINT, "ready;"},
  };
  for (const Case& c : cases) {
    testing::Forks fork;
    const pid_t pid = fork.start(console_child(c.arrange, c.command), true);
    ASSERT_EQ(fork.read(6), "ready;") << c.reported;
    if (c.command) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::kill(pid, c.signal);  // the program only: winsim passes the event on to the command
    const int status = fork.wait(pid);
    std::string reported = "ready;" + fork.read();
    if (c.ended_by == SIGHUP) {  // the close may end the process before it hears of the command
      if (auto at = reported.find("exit c000013a;"); at != std::string::npos)
        reported.erase(at, 14);
    }
    EXPECT_EQ(sorted_parts(reported), sorted_parts(c.reported)) << reported;
    EXPECT_EQ(reported.ends_with("alive;"), c.reported.ends_with("alive;")) << reported;
    if (c.ended_by == 0) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.reported;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.ended_by) << c.reported;
    }
  }
}

HANDLE create_mutex(const char16_t* name, bool take = false) {
  return CreateMutexExW(nullptr, name, take ? CREATE_MUTEX_INITIAL_OWNER : 0,
                        SYNCHRONIZE | MUTEX_MODIFY_STATE);
}

// Every case runs against the mutexes of one process and against the machine-wide ones.
class WinsimMutexes : public testing::MachineTest, public ::testing::WithParamInterface<bool> {
 protected:
  WinsimMutexes() {
    if (GetParam()) shared_.emplace("WINSIM_STATE", dir / "state");
    winsim::reset();
  }

  testing::TempDir dir;
  std::optional<testing::ScopedEnv> shared_;
};

// Local\ and no prefix name one mutex, Global\ another; ownership is recursive and only the owner
// releases; an arranged abandonment reaches the next owner once, who then owns the mutex.
TEST_P(WinsimMutexes, OwnershipIsRecursiveAndOnlyTheOwnerReleases) {
  unique_handle first(create_mutex(u"Local\\m"));
  ASSERT_TRUE(first);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  unique_handle second(create_mutex(u"m", true));  // the same mutex: ownership not taken
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  unique_handle global(create_mutex(u"Global\\m"));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_FALSE(ReleaseMutex(second.get()));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  EXPECT_EQ(WaitForSingleObject(first.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(second.get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(second.get()));
  EXPECT_TRUE(ReleaseMutex(first.get()));
  EXPECT_FALSE(ReleaseMutex(first.get()));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);

  BYTE not_a_descriptor[20] = {7};
  SECURITY_ATTRIBUTES attributes{sizeof attributes, not_a_descriptor, FALSE};
  EXPECT_EQ(CreateMutexExW(&attributes, u"n", 0, SYNCHRONIZE), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SECURITY_DESCR);

  winsim::abandon_mutex("Global\\a");
  unique_handle abandoned(create_mutex(u"Global\\a"));
  EXPECT_EQ(WaitForSingleObject(abandoned.get(), 0), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(abandoned.get()));
  EXPECT_EQ(WaitForSingleObject(abandoned.get(), 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(abandoned.get()));
}

INSTANTIATE_TEST_SUITE_P(Winsim, WinsimMutexes, ::testing::Bool());

// Another process waits until the owner releases; an owner that dies, or closes its last handle,
// holding the mutex abandons it to the next one who has a handle. Once no process has a handle,
// the mutex is gone and made anew.
TEST_P(WinsimMutexes, OnTheSharedMachineTheyAreWaitedForAndAbandonedAcrossProcesses) {
  if (!GetParam()) GTEST_SKIP() << "one process alone";
  {
    testing::Forks waiter;
    waiter.start([] {
      unique_handle mutex(create_mutex(u"Global\\m"));
      const bool timed_out = WaitForSingleObject(mutex.get(), 50) == WAIT_TIMEOUT;
      testing::Forks::report("waited;");
      return timed_out && WaitForSingleObject(mutex.get(), INFINITE) == WAIT_OBJECT_0 &&
             ReleaseMutex(mutex.get());
    });
    unique_handle mutex(create_mutex(u"Global\\m", true));
    waiter.go();
    EXPECT_EQ(waiter.read(7), "waited;");
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_TRUE(waiter.all_succeed());
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
  }
  auto take = [](bool close) {
    HANDLE mutex = create_mutex(u"m");
    const bool taken = WaitForSingleObject(mutex, INFINITE) == WAIT_OBJECT_0;
    if (close) CloseHandle(mutex);
    testing::Forks::report(taken ? "taken;" : "wrong;");
    while (close)
      ::pause();  // alive until the test has looked
    return taken;
  };
  for (const bool close : {false, true}) {
    testing::Forks owner;
    owner.start([&] { return take(close); });
    unique_handle mutex(create_mutex(u"m"));
    owner.go();
    EXPECT_EQ(owner.read(6), "taken;");
    if (!close) {
      EXPECT_TRUE(owner.all_succeed());
    }
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_ABANDONED) << close;
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
  }
  testing::Forks alone;
  alone.start([&] { return take(false); });
  ASSERT_TRUE(alone.all_succeed());
  unique_handle mutex(create_mutex(u"m"));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

}  // namespace
}  // namespace tavo
