// Events and waits across threads, processes known by id and start time, a job ended at once,
// and the file calls that make a write last.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "flows/host_processes.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/api.h"
#include "win/wide.h"

namespace tavo {
namespace {

class Waits : public testing::MachineTest {
 protected:
  ~Waits() override { winsim::end_processes(); }

  // A process started by CreateProcessW, in a kill-on-close job when `job` is given.
  PROCESS_INFORMATION start(const std::string& command, HANDLE job = nullptr) {
    WideString line = to_wide_nul(command);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    EXPECT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                               nullptr, nullptr, &startup, &started));
    if (job != nullptr) {
      EXPECT_TRUE(AssignProcessToJobObject(job, started.hProcess));
    }
    EXPECT_EQ(ResumeThread(started.hThread), 1u);
    CloseHandle(started.hThread);
    return started;
  }
};

std::uint64_t value(const FILETIME& time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

std::uint64_t creation_of(HANDLE process) {
  FILETIME creation{}, exit{}, kernel{}, user{};
  EXPECT_TRUE(GetProcessTimes(process, &creation, &exit, &kernel, &user));
  return value(creation);
}

TEST_F(Waits, SetEventFromAnotherThreadWakesAWaitOnAProcessAndTheEvent) {
  const PROCESS_INFORMATION command = start("sleep 30");
  HANDLE go = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset
  HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  const HANDLE both[] = {command.hProcess, go};
  constexpr int kRounds = 300;
  // Both threads make calls all along: the gate, the handle table and accounting are shared.
  std::thread other([&] {
    for (int i = 0; i < kRounds; ++i) {
      HANDLE scratch = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      SetEvent(go);
      CloseHandle(scratch);
      WaitForSingleObject(done, INFINITE);
    }
  });
  int woken = 0;
  for (int i = 0; i < kRounds; ++i) {
    woken += WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
    DWORD code = 0;
    GetExitCodeProcess(command.hProcess, &code);
    HANDLE scratch = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    CloseHandle(scratch);
    SetEvent(done);
  }
  other.join();
  EXPECT_EQ(woken, kRounds);
  // The auto-reset event was taken by each wait; a manual-reset one stays set until reset.
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);
  HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  // The lowest signalled index wins; an ended process is signalled.
  TerminateProcess(command.hProcess, 7);
  SetEvent(manual);
  const HANDLE event_first[] = {manual, command.hProcess};
  EXPECT_EQ(WaitForMultipleObjects(2, event_first, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), 87u);
  for (HANDLE handle : {command.hProcess, go, done, manual})
    CloseHandle(handle);
}

TEST_F(Waits, AProcessOpenedByIdKeepsItsCreationTimeAndTellsWhenItHasEnded) {
  const pid_t host = ::fork();  // not started through winsim: a process of someone else's
  if (host == 0) {
    ::execlp("sleep", "sleep", "30", nullptr);
    ::_exit(127);
  }
  HANDLE opened =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, static_cast<DWORD>(host));
  ASSERT_NE(opened, nullptr);
  const std::uint64_t created = creation_of(opened);
  EXPECT_EQ(creation_of(opened), created);
  // FILETIME counts from 1601: the process started a moment ago by the host's clock.
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto now_units = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(now).count() * 10 +
      116444736000000000LL);
  EXPECT_LT(now_units - created, 10'000'000ull * 10) << now_units << " " << created;
  EXPECT_GE(created, creation_of(GetCurrentProcess()));

  DWORD code = 0;
  EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(GetExitCodeProcess(opened, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  ::kill(host, SIGKILL);  // a zombie until reaped: ended all the same
  EXPECT_EQ(WaitForSingleObject(opened, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeProcess(opened, &code));
  EXPECT_NE(code, STILL_ACTIVE);
  ::waitpid(host, nullptr, 0);
  EXPECT_EQ(creation_of(opened), created);
  EXPECT_TRUE(CloseHandle(opened));
  EXPECT_EQ(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(host)),
            nullptr);
  EXPECT_EQ(GetLastError(), 87u);

  // A started process reads the same through its own handle and one opened by id.
  const PROCESS_INFORMATION child = start("sleep 30");
  HANDLE by_id = OpenProcess(SYNCHRONIZE, FALSE, child.dwProcessId);
  EXPECT_EQ(creation_of(by_id), creation_of(child.hProcess));
  EXPECT_EQ(GetProcessId(by_id), child.dwProcessId);
  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(::getpid()));
  EXPECT_TRUE(CloseHandle(GetCurrentProcess()));  // the pseudo handle: nothing to close
  for (HANDLE handle : {by_id, child.hProcess})
    CloseHandle(handle);
}

TEST_F(Waits, TerminateJobObjectEndsEveryProcessOfTheJobWithItsCode) {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  testing::TempDir dir;
  const PROCESS_INFORMATION shell =
      start("sh -c \"sleep 30 & echo $! > " + (dir / "pid") + "; wait\"", job);
  while (!dir.exists("pid") || dir.read("pid").empty())
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const pid_t background = std::stoi(dir.read("pid"));
  EXPECT_TRUE(TerminateJobObject(job, 42));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(shell.hProcess, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_TRUE(testing::host_process_ends_soon(background));
  EXPECT_EQ(winsim::running_processes(), 0u);
  CloseHandle(shell.hProcess);
  CloseHandle(job);
}

class DurableFiles : public testing::MachineTest {
 protected:
  testing::TempDir dir;
  BOOL move(const std::string& from, const std::string& to, DWORD flags) {
    return MoveFileExW(to_wide_nul(dir / from).c_str(), to_wide_nul(dir / to).c_str(), flags);
  }
};

TEST_F(DurableFiles, MoveFileExReplacesOnlyWhenAskedAndReportsWhatIsMissing) {
  dir.write("new", "new");
  dir.write("old", "old");
  EXPECT_FALSE(move("new", "old", MOVEFILE_WRITE_THROUGH));
  EXPECT_EQ(GetLastError(), 183u);
  EXPECT_EQ(dir.read("old"), "old");
  EXPECT_TRUE(move("new", "old", MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  EXPECT_EQ(dir.read("old"), "new");
  EXPECT_FALSE(dir.exists("new"));
  EXPECT_FALSE(move("new", "other", 0));
  EXPECT_EQ(GetLastError(), 2u);
  EXPECT_FALSE(move("missing/new", "other", 0));
  EXPECT_EQ(GetLastError(), 3u);
  dir.make_dir("folder");
  EXPECT_FALSE(move("old", "folder", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), 5u);
}

TEST_F(DurableFiles, AnAppendingHandleAddsAtTheEndWhileAnotherProcessReads) {
  const WideString name = to_wide_nul(dir / "journal");
  auto open = [&](DWORD access, DWORD disposition) {
    return CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE first = open(GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open(GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 80u);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(first, "one;", 4, &written, nullptr));
  EXPECT_TRUE(FlushFileBuffers(first));
  CloseHandle(first);
  HANDLE appender = open(FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS);
  EXPECT_EQ(GetLastError(), 183u);  // it existed
  for (const char* record : {"two;", "three;"}) {
    EXPECT_TRUE(
        WriteFile(appender, record, static_cast<DWORD>(std::strlen(record)), &written, nullptr));
    EXPECT_TRUE(FlushFileBuffers(appender));
  }
  // Another process opens the file the writer still holds and reads every record.
  const pid_t reader = ::fork();
  if (reader == 0) {
    HANDLE in = open(GENERIC_READ, OPEN_EXISTING);
    char text[32] = {};
    DWORD got = 0;
    ::_exit(ReadFile(in, text, sizeof text, &got, nullptr) &&
                    std::string(text, got) == "one;two;three;"
                ? 0
                : 1);
  }
  int status = 0;
  ::waitpid(reader, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  CloseHandle(appender);
  EXPECT_FALSE(FlushFileBuffers(appender));
  EXPECT_EQ(GetLastError(), 6u);
}

}  // namespace
}  // namespace tavo
