// The process, job, pipe, console and environment calls, error texts and owners' releases as the
// program meets them: under Wine, the platform's own implementation checks winsim's.
#include <gtest/gtest.h>

#include "base/quoting.h"
#include "path_grant/path_entries.h"
#include "run_journal/process_identity.h"
#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/api.h"
#include "win/attribute_list.h"
#include "win/child_std_handles.h"
#include "win/console.h"
#include "win/env.h"
#include "win/error.h"
#include "win/std_handles.h"
#include "win/unique.h"
#include "win/wide.h"

#if !defined(_WIN32)
#include <winsim/process_testing.h>
#endif

namespace tavo {
namespace {

class SystemCalls : public testing::MachineTest {
 protected:
  void TearDown() override {
#if !defined(_WIN32)
    winsim::end_processes();
#endif
  }

  // Starts `script` in the platform's shell, in the test's directory.
  bool start(const std::string& script, DWORD flags, STARTUPINFOW& info,
             PROCESS_INFORMATION& created) {
#if defined(_WIN32)
    WideString line = to_wide_nul("cmd.exe /c " + script);
#else
    WideString line = to_wide_nul(*command_line("sh", {"-c", script}));
#endif
    return CreateProcessW(nullptr, line.data(), nullptr, nullptr,
                          (flags & EXTENDED_STARTUPINFO_PRESENT) != 0, flags, nullptr,
                          to_wide_nul(dir.path()).c_str(), &info, &created);
  }

  testing::TempDir dir;
};

// A suspended process runs nothing until resumed; one ended before that did nothing.
TEST_F(SystemCalls, ASuspendedProcessRunsOnlyOnceResumed) {
  STARTUPINFOW info{};
  info.cb = sizeof info;
  PROCESS_INFORMATION created{};
  ASSERT_TRUE(start("exit 3", CREATE_SUSPENDED, info, created));
  unique_handle process(created.hProcess), thread(created.hThread);
  EXPECT_EQ(WaitForSingleObject(process.get(), 50), WAIT_TIMEOUT);
  EXPECT_EQ(ResumeThread(thread.get()), 1u);
  EXPECT_EQ(WaitForSingleObject(process.get(), INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(process.get(), &code) && code == 3u);

  ASSERT_TRUE(start("echo ran> marker.txt", CREATE_SUSPENDED, info, created));
  unique_handle ended(created.hProcess), its_thread(created.hThread);
  ASSERT_TRUE(TerminateProcess(ended.get(), 300));
  EXPECT_EQ(WaitForSingleObject(ended.get(), 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeProcess(ended.get(), &code) && code == 300u);
  EXPECT_FALSE(dir.exists("marker.txt"));
}

// A process is told apart by its id and creation time; a live one is never taken for gone.
TEST_F(SystemCalls, AProcessIsToldApartByItsCreationTime) {
  const std::optional<ProcessIdentity> self = current_process();
  ASSERT_TRUE(self);
  EXPECT_EQ(self->pid, GetCurrentProcessId());
  EXPECT_EQ(current_process(), self);
  EXPECT_TRUE(may_be_running(*self));
  EXPECT_FALSE(may_be_running({self->pid, self->created + 1}));
  EXPECT_FALSE(may_be_running({0x7FFFFFF1u, self->created}));  // no process has this id
}

// Standard handles as callers leave them (output not inheritable and serving as error too, no
// input) make a handle list the platform takes (its size is the launch tests').
TEST_F(SystemCalls, TheStandardHandlesOfAnyCallerReachTheCommand) {
  unique_handle read_end, write_end, process, thread;
  ASSERT_TRUE(CreatePipe(read_end.put(), write_end.put(), nullptr, 0));  // not inheritable
  {
    const DWORD kinds[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    const HANDLE saved[] = {GetStdHandle(kinds[0]), GetStdHandle(kinds[1]), GetStdHandle(kinds[2])};
    const HANDLE given[] = {nullptr, write_end.get(), write_end.get()};
    for (int i = 0; i < 3; ++i)
      SetStdHandle(kinds[i], given[i]);
    auto handles = ChildStdHandles::of_this_process();
    for (int i = 0; i < 3; ++i)
      SetStdHandle(kinds[i], saved[i]);
    ASSERT_TRUE(handles) << handles.error().code();
    auto list = AttributeList::create(1);
    STARTUPINFOEXW info{};
    info.StartupInfo.cb = sizeof info;
    ASSERT_TRUE(list && handles->hand_to(*list, info));
#if defined(_WIN32)
    const std::string script = "\"echo out&echo err>&2\"";
#else
    const std::string script = "cat; echo out; echo err >&2";
#endif
    PROCESS_INFORMATION created{};
    ASSERT_TRUE(start(script, EXTENDED_STARTUPINFO_PRESENT, info.StartupInfo, created));
    process.reset(created.hProcess);
    thread.reset(created.hThread);
  }  // the child holds its own copies of the handles
  write_end.reset();
  std::string text;
  char buffer[256];
  DWORD done = 0;
  while (ReadFile(read_end.get(), buffer, sizeof buffer, &done, nullptr) && done > 0)
    text.append(buffer, done);
  std::erase(text, '\r');
  std::erase(text, ' ');
  EXPECT_EQ(text, "out\nerr\n");
}

// An attribute value, and a job's limit record, are taken at exactly their size only.
TEST_F(SystemCalls, AnAttributeOrJobLimitIsTakenAtItsExactSizeOnly) {
  auto list = AttributeList::create(1);
  ASSERT_TRUE(list);
  HANDLE handles[2] = {GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)};
  EXPECT_EQ(
      list->update(PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, sizeof handles - 1).error().code(),
      0x80070018u);  // ERROR_BAD_LENGTH
  EXPECT_TRUE(list->update(PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, sizeof handles));
  unique_handle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  EXPECT_FALSE(SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                       sizeof limits - 1));
  EXPECT_TRUE(SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                      sizeof limits));
}

// A slot that is null or names no open handle is missing and is the NUL device once taken; a
// real handle is left as it is; going, the slots are put back.
TEST_F(SystemCalls, MissingStandardHandlesBecomeNul) {
  unique_handle read_end, write_end;
  ASSERT_TRUE(CreatePipe(read_end.put(), write_end.put(), nullptr, 0));
  const DWORD kinds[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  const HANDLE saved[] = {GetStdHandle(kinds[0]), GetStdHandle(kinds[1]), GetStdHandle(kinds[2])};
  const HANDLE stale = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7770));  // opened by none
  const HANDLE given[] = {nullptr, stale, write_end.get()};
  for (int i = 0; i < 3; ++i)
    SetStdHandle(kinds[i], given[i]);
  EXPECT_TRUE(is_missing_std_handle(stale));
  EXPECT_FALSE(is_missing_std_handle(write_end.get()));
  {
    auto slots = StdHandleSlots::take();
    ASSERT_TRUE(slots) << slots.error().code();
    EXPECT_EQ(slots->filled(), 2u);
    EXPECT_EQ(GetFileType(GetStdHandle(kinds[0])), static_cast<DWORD>(FILE_TYPE_CHAR));
    EXPECT_EQ(GetFileType(GetStdHandle(kinds[1])), static_cast<DWORD>(FILE_TYPE_CHAR));
    EXPECT_NE(GetStdHandle(kinds[0]), GetStdHandle(kinds[1]));
    EXPECT_EQ(GetStdHandle(kinds[2]), write_end.get());
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(GetStdHandle(kinds[i]), given[i]);
    SetStdHandle(kinds[i], saved[i]);
  }
}

// Progress never reaches a pipe or the NUL device (a character device, as a console is).
TEST_F(SystemCalls, APipeOrNulIsNoConsole) {
  unique_handle read_end, write_end;
  ASSERT_TRUE(CreatePipe(read_end.put(), write_end.put(), nullptr, 0));
  unique_handle nul(CreateFileW(to_wide_nul("NUL").c_str(), GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  ASSERT_NE(nul.get(), INVALID_HANDLE_VALUE);
  const HANDLE saved = GetStdHandle(STD_ERROR_HANDLE);
  for (HANDLE handle : {write_end.get(), nul.get()}) {
    SetStdHandle(STD_ERROR_HANDLE, handle);
    EXPECT_FALSE(console::is_console(console::Stream::Err));
  }
  SetStdHandle(STD_ERROR_HANDLE, saved);
}

TEST_F(SystemCalls, TheEnvironmentReadsBack) {
  const std::string value = std::string(300, 'v') + "\xC3\xA9";  // longer than a first guess
  testing::ScopedEnv scoped("TAVO_TEST_VALUE", value);
  EXPECT_EQ(env_var("TAVO_TEST_VALUE"), value);

  testing::ScopedEnv path("PATH", "C:\\a;;C:\\b\\;");
  EXPECT_EQ(path_entries(), (std::vector<std::string>{"C:\\a", "", "C:\\b\\", ""}));
  testing::set_env("PATH", std::nullopt);
  EXPECT_EQ(path_entries(), std::vector<std::string>{""});
}

// The system's text (Wine words its own), then the code; the program's message wins.
TEST_F(SystemCalls, ErrorsShowTheTextThenTheCode) {
  if (!testing::running_under_wine()) {
    EXPECT_EQ(system_message(0x80070005), "Access is denied.");
    EXPECT_EQ(HresultError(0xD000013A).display(),
              "{Application Exit by CTRL+C}\r\nThe application terminated as a result of a "
              "CTRL+C. (0xD000013A)");
  }
  ASSERT_TRUE(system_message(5).has_value());
  EXPECT_EQ(HresultError::from_win32(5).display(), *system_message(5) + " (0x80070005)");
  EXPECT_EQ(HresultError(0x2345ABCD).display(), "0x2345ABCD");
  EXPECT_EQ(HresultError(0, "set failed after 2 attempts").display(),
            "set failed after 2 attempts (0x00000000)");
  EXPECT_EQ(IoError::from_win32(3).display(), *system_message(3) + " (os error 3)");
  EXPECT_EQ(HresultError::from_win32(0).code(), 0u);
  EXPECT_EQ(HresultError::from_win32(5).code(), 0x80070005u);
  EXPECT_EQ(HresultError::from_win32(0x12345).code(), 0x80072345u);
  EXPECT_EQ(HresultError::from_win32(0xC0000005).code(), 0xC0000005u);
}

struct FailingRelease {
  using pointer = int;
  static pointer invalid() { return 0; }
  static bool holds(pointer value) { return value != 0; }
  static void release(pointer) { SetLastError(ERROR_INVALID_HANDLE); }
};

// An owner that goes between a failed call and its report leaves the report alone.
TEST(Owners, AReleaseKeepsTheLastError) {
  UniqueResource<FailingRelease> owner(1);
  SetLastError(ERROR_FILE_NOT_FOUND);
  owner.reset();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// An owner moved onto another releases what it held before (winsim counts what is never freed).
TEST_F(SystemCalls, AnOwnerTakingAnothersMemoryReleasesItsOwn) {
  auto block = [] {
    return unique_heap<int>(GetProcessHeap(),
                            static_cast<int*>(HeapAlloc(GetProcessHeap(), 0, sizeof(int))));
  };
  unique_heap<int> kept = block();
  unique_heap<int> moved = block();
  int* const taken = moved.get();
  kept = std::move(moved);
  EXPECT_EQ(kept.get(), taken);
  EXPECT_FALSE(moved);
}

}  // namespace
}  // namespace tavo
