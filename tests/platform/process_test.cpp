// The process, job, pipe and attribute-list calls the launch, icacls and recovery rely on: under
// Wine, the platform's own implementation checks winsim's.
#include <gtest/gtest.h>

#include <optional>

#include "base/quoting.h"
#include "run_journal/process_identity.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/api.h"
#include "win/attribute_list.h"
#include "win/child_std_handles.h"
#include "win/unique.h"
#include "win/wide.h"

#if !defined(_WIN32)
#include <winsim/process_testing.h>
#endif

namespace tavo {
namespace {

class Processes : public testing::MachineTest {
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

// An attribute value, and a job's limit record, are taken at exactly their size only.
TEST_F(Processes, AttributesAndJobLimitsAreTakenAtTheirExactSize) {
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

// A suspended process runs nothing until resumed and then ends with its own code; one ended
// before that ends with the code given, having done nothing.
TEST_F(Processes, SuspendedProcessesRunOnlyOnceResumed) {
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
TEST_F(Processes, OnlyAProcessKnownToBeGoneCountsAsGone) {
  const std::optional<ProcessIdentity> self = current_process();
  ASSERT_TRUE(self);
  EXPECT_EQ(self->pid, GetCurrentProcessId());
  EXPECT_EQ(current_process(), self);
  EXPECT_TRUE(may_be_running(*self));
  EXPECT_FALSE(may_be_running({self->pid, self->created + 1}));
  EXPECT_FALSE(may_be_running({0x7FFFFFF1u, self->created}));  // no process has this id
}

// Standard handles as callers leave them (output not inheritable and serving as error too, no
// input) make a handle list the platform takes, and the child writes where our output goes.
TEST_F(Processes, StandardHandlesOfAnyCallerFitAHandleList) {
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
    EXPECT_EQ(handles->list_size(), 2 * sizeof(HANDLE));
    EXPECT_EQ(handles->output(), handles->error());
    EXPECT_NE(handles->output(), write_end.get());
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
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  std::erase(text, '\r');
  std::erase(text, ' ');
  EXPECT_EQ(text, "out\nerr\n");
  EXPECT_EQ(WaitForSingleObject(process.get(), INFINITE), WAIT_OBJECT_0);
}

}  // namespace
}  // namespace tavo
