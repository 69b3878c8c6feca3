// A process killed at a chosen call, and console events: which handler runs, on which thread,
// what the process and a child in its job make of Ctrl-C and of the console's close. Each case
// runs in a forked process, since a console event or a kill may end the process it reaches.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <sstream>

#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/api.h"
#include "win/wide.h"

namespace tavo {
namespace {

// A forked process that reports to the test through a pipe.
class Child {
 public:
  explicit Child(const std::function<void()>& work) {
    EXPECT_EQ(::pipe(report_), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(report_[0]);
      reporter = report_[1];
      winsim::reset();
      work();
      ::_exit(0);
    }
    ::close(report_[1]);
  }
  ~Child() {
    ::close(report_[0]);
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  // The next `n` bytes the child reported (fewer when it ended first); by default all it reports
  // until it ends.
  std::string read(std::size_t n = std::string::npos) {
    std::string out;
    char byte;
    while (out.size() < n && ::read(report_[0], &byte, 1) == 1)
      out += byte;
    return out;
  }
  int wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    waited_ = true;
    return status;
  }

  // The child's end of the pipe; handlers report through it.
  static inline int reporter = -1;
  static void report(std::string_view text) {
    [[maybe_unused]] auto written = ::write(reporter, text.data(), text.size());
  }

 private:
  int report_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool waited_ = false;
};

bool killed_by(int status, int signal) {
  return WIFSIGNALED(status) && WTERMSIG(status) == signal;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class KillPoints : public testing::MachineTest {
 protected:
  testing::TempDir dir;
  testing::ScopedEnv state{"WINSIM_STATE", dir / "state"};
  testing::ScopedEnv trace{"WINSIM_TRACE", dir / "trace"};
};

TEST_F(KillPoints, ADieRecordEndsTheProcessAtTheNthMatchingCallReleasesIncluded) {
  Child creator([&] {
    winsim::die_at_call("CreateDirectoryW", "made", 2);
    for (const char* name : {"made1", "other", "made2", "made3"})
      CreateDirectoryW(to_wide_nul(dir / name).c_str(), nullptr);
  });
  EXPECT_TRUE(killed_by(creator.wait(), SIGKILL));
  EXPECT_TRUE(dir.exists("made1"));
  EXPECT_TRUE(dir.exists("other"));
  EXPECT_FALSE(dir.exists("made2"));
  EXPECT_FALSE(dir.exists("made3"));
  // The record stays as written, and the killed call is the trace's last line.
  EXPECT_NE(read_file(dir / "state").find("fault\tCreateDirectoryW\tmade\tdie:2\n"),
            std::string::npos);
  const std::string lines = read_file(dir / "trace");
  EXPECT_TRUE(lines.ends_with("CreateDirectoryW\t" + (dir / "made2") + "\n")) << lines;

  // A hand-written record, read by a fresh process, reaches a release function.
  dir.write("state", "winsim-state 1\nfault\tCloseHandle\t\tdie\n");
  Child closer([] {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Child::report("made");
    CloseHandle(event);
    Child::report("closed");
  });
  EXPECT_EQ(closer.read(10), "made");
  EXPECT_TRUE(killed_by(closer.wait(), SIGKILL));
}

// Handlers report what they were called with and whether they ran on a thread of their own.
std::atomic<pthread_t> main_thread;
std::atomic<bool> taken{false};
std::string seen(const char* who, DWORD event) {
  return std::string(who) + std::to_string(event) +
         (pthread_equal(pthread_self(), main_thread.load()) ? "main" : "") + ";";
}
BOOL takes_it(DWORD event) {
  Child::report(seen("take", event));
  taken = true;
  return TRUE;
}
BOOL passes_it(DWORD event) {
  Child::report(seen("pass", event));
  return FALSE;
}

class ConsoleEvents : public testing::MachineTest {};

// A command in a kill-on-close job, started as a run starts it; the child reports "ready" once it
// waits for it, then the command's exit code.
void run_command_and_report() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  WideString line = to_wide_nul("sleep 30");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                      nullptr, &startup, &started) ||
      !AssignProcessToJobObject(job, started.hProcess) || ResumeThread(started.hThread) != 1)
    return;
  Child::report("ready;");
  WaitForSingleObject(started.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(started.hProcess, &code);
  std::ostringstream text;
  text << "exit " << std::hex << code << ";";
  Child::report(text.str());
}

TEST_F(ConsoleEvents, CtrlCTakenByAHandlerLeavesTheProcessAndEndsTheCommandInItsJob) {
  Child child([] {
    main_thread = pthread_self();
    SetConsoleCtrlHandler(takes_it, TRUE);
    SetConsoleCtrlHandler(passes_it, TRUE);  // registered last, asked first
    run_command_and_report();
    while (!taken)
      ::usleep(1000);
    Child::report("alive;");
  });
  ASSERT_EQ(child.read(6), "ready;");
  ::kill(child.pid(), SIGINT);  // the program only: the signal reaches the command from winsim
  const std::string reported = child.read();
  // The handlers' thread and the main thread report in either order; the handlers in theirs.
  EXPECT_LT(reported.find("pass0;"), reported.find("take0;")) << reported;
  EXPECT_NE(reported.find("take0;"), std::string::npos) << reported;
  EXPECT_NE(reported.find("exit c000013a;"), std::string::npos) << reported;
  EXPECT_TRUE(reported.ends_with("alive;")) << reported;
  const int status = child.wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(ConsoleEvents, TheCloseEventRunsTheHandlersAndThenEndsTheProcess) {
  Child child([] {
    main_thread = pthread_self();
    SetConsoleCtrlHandler(takes_it, TRUE);
    run_command_and_report();
    for (;;)
      ::pause();  // the end is the close event's
  });
  ASSERT_EQ(child.read(6), "ready;");
  ::kill(child.pid(), SIGHUP);
  const std::string reported = child.read();
  EXPECT_NE(reported.find("take2;"), std::string::npos) << reported;
  EXPECT_TRUE(killed_by(child.wait(), SIGHUP));  // read as 0xC000013A
}

TEST_F(ConsoleEvents, WithoutAHandlerThatTakesItCtrlCEndsTheProcessAsByDefault) {
  Child declined([] {
    main_thread = pthread_self();
    SetConsoleCtrlHandler(passes_it, TRUE);
    Child::report("ready;");
    for (;;)
      ::pause();  // a signal handler returns from pause()
  });
  ASSERT_EQ(declined.read(6), "ready;");
  ::kill(declined.pid(), SIGINT);
  EXPECT_EQ(declined.read(6), "pass0;");
  EXPECT_TRUE(killed_by(declined.wait(), SIGINT));

  // Removing the last handler gives the host's disposition back; one never added cannot go.
  Child removed([] {
    SetConsoleCtrlHandler(passes_it, TRUE);
    SetConsoleCtrlHandler(passes_it, FALSE);
    const bool refused = !SetConsoleCtrlHandler(passes_it, FALSE) && GetLastError() == 87;
    Child::report(refused ? "ready;" : "wrong;");
    for (;;)
      ::pause();  // a signal handler returns from pause()
  });
  ASSERT_EQ(removed.read(6), "ready;");
  ::kill(removed.pid(), SIGINT);
  EXPECT_TRUE(killed_by(removed.wait(), SIGINT));

  // The null handler ignores Ctrl-C, and only Ctrl-C.
  Child ignoring([] {
    SetConsoleCtrlHandler(nullptr, TRUE);
    Child::report("ready;");
    for (;;)
      ::pause();  // a signal handler returns from pause()
  });
  ASSERT_EQ(ignoring.read(6), "ready;");
  ::kill(ignoring.pid(), SIGINT);
  ::kill(ignoring.pid(), SIGHUP);
  EXPECT_TRUE(killed_by(ignoring.wait(), SIGHUP));
}

}  // namespace
}  // namespace tavo
