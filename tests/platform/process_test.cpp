// The platform's process, job, pipe and attribute-list contracts that the launch and the icacls
// runner rely on. Built for both builds: under Wine, its own implementation checks winsim's.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <optional>

#include "base/quoting.h"
#include "run/spawn.h"
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

constexpr DWORD kErrorBadLength = 24;

class Processes : public testing::MachineTest {
 protected:
  void TearDown() override {
    MachineTest::TearDown();
#if !defined(_WIN32)
    winsim::end_processes();
#endif
  }

  // Starts `script` in the platform's shell, suspended, in the test's directory.
  PROCESS_INFORMATION start_suspended(const std::string& script) {
#if defined(_WIN32)
    std::string line = "cmd.exe /c " + script;
#else
    std::string line = *command_line("sh", {"-c", script});
#endif
    WideString wide = to_wide_nul(line);
    STARTUPINFOW info{};
    info.cb = sizeof info;
    PROCESS_INFORMATION created{};
    EXPECT_TRUE(CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                               nullptr, to_wide_nul(dir.path()).c_str(), &info, &created))
        << GetLastError();
    return created;
  }

  testing::TempDir dir;
};

// The list is sized by a query, initialised in the caller's buffer, and takes attribute values
// of exactly their size only.
TEST_F(Processes, AttributeListsAreSizedThenTakeValuesOfTheirExactSize) {
  SIZE_T size = 0;
  EXPECT_FALSE(InitializeProcThreadAttributeList(nullptr, 2, 0, &size));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_GT(size, 0u);
  auto buffer = std::make_unique<std::byte[]>(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.get());
  SIZE_T short_size = size - 1;
  EXPECT_FALSE(InitializeProcThreadAttributeList(list, 2, 0, &short_size));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_TRUE(InitializeProcThreadAttributeList(list, 2, 0, &size));

  HANDLE handles[2] = {GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)};
  EXPECT_FALSE(UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                         sizeof handles - 1, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), kErrorBadLength);
  EXPECT_TRUE(UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                        sizeof handles, nullptr, nullptr));
  if (!testing::running_under_wine()) {  // Wine does not know the security capabilities
    SECURITY_CAPABILITIES capabilities{};
    EXPECT_FALSE(UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_SECURITY_CAPABILITIES,
                                           &capabilities, sizeof capabilities - 1, nullptr,
                                           nullptr));
    EXPECT_EQ(GetLastError(), kErrorBadLength);
    EXPECT_TRUE(UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_SECURITY_CAPABILITIES,
                                          &capabilities, sizeof capabilities, nullptr, nullptr));
  }
  DeleteProcThreadAttributeList(list);
}

TEST_F(Processes, APipeReadsToItsEndAndThenReportsItBroken) {
  unique_handle read_end, write_end;
  ASSERT_TRUE(CreatePipe(read_end.put(), write_end.put(), nullptr, 0));
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(write_end.get(), "abc", 3, &done, nullptr));
  write_end.reset();
  char buffer[8];
  ASSERT_TRUE(ReadFile(read_end.get(), buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "abc");
  EXPECT_FALSE(ReadFile(read_end.get(), buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_EQ(done, 0u);
}

TEST_F(Processes, JobLimitsTakeExactlyTheRecordOfTheirClass) {
  unique_handle job(CreateJobObjectW(nullptr, nullptr));
  ASSERT_TRUE(job);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  EXPECT_FALSE(SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                       sizeof limits - 1));
  // Windows reports a length mismatch; Wine a bad parameter.
  if (!testing::running_under_wine()) {
    EXPECT_EQ(GetLastError(), kErrorBadLength);
  }
  EXPECT_TRUE(SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                      sizeof limits));
}

TEST_F(Processes, AProgramThatCannotBeFoundStartsNothing) {
  WideString line = to_wide_nul("tavo-no-such-program-7f3a -x");
  STARTUPINFOW info{};
  info.cb = sizeof info;
  PROCESS_INFORMATION created{};
  EXPECT_FALSE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &info, &created));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(created.hProcess, nullptr);
}

TEST_F(Processes, ASuspendedProcessRunsOnlyOnceResumed) {
  PROCESS_INFORMATION created = start_suspended("exit 3");
  unique_handle process(created.hProcess), thread(created.hThread);
  ASSERT_TRUE(process);
  EXPECT_EQ(GetProcessId(process.get()), created.dwProcessId);
  EXPECT_EQ(WaitForSingleObject(process.get(), 50), WAIT_TIMEOUT);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(process.get(), &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(ResumeThread(thread.get()), 1u);
  EXPECT_EQ(WaitForSingleObject(process.get(), INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeProcess(process.get(), &code));
  EXPECT_EQ(code, 3u);
}

TEST_F(Processes, ATerminatedProcessEndsWithTheGivenCodeHavingDoneNothing) {
  PROCESS_INFORMATION created = start_suspended("echo ran> marker.txt");
  unique_handle process(created.hProcess), thread(created.hThread);
  ASSERT_TRUE(process);
  ASSERT_TRUE(TerminateProcess(process.get(), 300));
  EXPECT_EQ(WaitForSingleObject(process.get(), 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(process.get(), &code));
  EXPECT_EQ(code, 300u);
  EXPECT_FALSE(dir.exists("marker.txt"));
}

// This process's standard handles as they were, put back when the test ends.
class SavedStdHandles {
 public:
  SavedStdHandles() {
    for (std::size_t i = 0; i < kinds_.size(); ++i)
      saved_[i] = GetStdHandle(kinds_[i]);
  }
  ~SavedStdHandles() {
    for (std::size_t i = 0; i < kinds_.size(); ++i)
      SetStdHandle(kinds_[i], saved_[i]);
  }
  SavedStdHandles(const SavedStdHandles&) = delete;
  SavedStdHandles& operator=(const SavedStdHandles&) = delete;

 private:
  static constexpr std::array<DWORD, 3> kinds_ = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE,
                                                  STD_ERROR_HANDLE};
  std::array<HANDLE, 3> saved_{};
};

// Standard handles as a launcher's callers leave them: output not inheritable and serving as
// error too, input missing. Prepared for a child, they make a handle list the platform takes,
// each handle once, and the child writes both streams where this process's output goes.
TEST_F(Processes, StandardHandlesOfAnyCallerFitAHandleList) {
  unique_handle read_end, write_end;
  ASSERT_TRUE(CreatePipe(read_end.put(), write_end.put(), nullptr, 0));  // not inheritable
  std::optional<ChildStdHandles> handles;
  {
    SavedStdHandles saved;
    ASSERT_TRUE(SetStdHandle(STD_INPUT_HANDLE, nullptr));
    ASSERT_TRUE(SetStdHandle(STD_OUTPUT_HANDLE, write_end.get()));
    ASSERT_TRUE(SetStdHandle(STD_ERROR_HANDLE, write_end.get()));
    auto prepared = ChildStdHandles::of_this_process();
    ASSERT_TRUE(prepared) << prepared.error().code();
    handles.emplace(std::move(*prepared));
  }
  EXPECT_EQ(handles->list_size(), 2 * sizeof(HANDLE));
  EXPECT_EQ(handles->output(), handles->error());
  EXPECT_NE(handles->output(), write_end.get());

  auto list = AttributeList::create(1);
  ASSERT_TRUE(list);
  STARTUPINFOEXW info{};
  info.StartupInfo.cb = sizeof info;
  ASSERT_TRUE(handles->hand_to(*list, info));
#if defined(_WIN32)
  WideString line = to_wide_nul("cmd.exe /c \"echo out&echo err>&2\"");
#else
  WideString line = to_wide_nul(*command_line("sh", {"-c", "cat; echo out; echo err >&2"}));
#endif
  PROCESS_INFORMATION created{};
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                             EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &info.StartupInfo,
                             &created))
      << GetLastError();
  unique_handle process(created.hProcess), thread(created.hThread);
  handles.reset();  // the child holds its own copies
  write_end.reset();
  std::string text;
  char buffer[256];
  DWORD done = 0;
  while (ReadFile(read_end.get(), buffer, sizeof buffer, &done, nullptr) && done > 0)
    text.append(buffer, done);
  std::erase(text, '\r');
  std::erase(text, ' ');
  EXPECT_EQ(text, "out\nerr\n");
  EXPECT_EQ(WaitForSingleObject(process.get(), INFINITE), WAIT_OBJECT_0);
}

}  // namespace
}  // namespace tavo
