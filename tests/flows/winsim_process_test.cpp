// winsim's processes, jobs and pipes: the parts of the model that only the simulated machine
// shows (program search on a Windows PATH, host exec failures, process groups, reset).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <filesystem>

#include "flows/host_processes.h"
#include "spawn.h"
#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

struct Started {
  unique_handle process;
  unique_handle thread;
  DWORD pid = 0;
};

class WinsimProcesses : public testing::MachineTest {
 protected:
  void TearDown() override {
    MachineTest::TearDown();
    winsim::end_processes();
  }

  std::expected<Started, DWORD> start(const std::string& line, DWORD flags = 0,
                                      STARTUPINFOW info = {}, BOOL inherit = FALSE) {
    WideString wide = to_wide_nul(line);
    if (info.cb == 0) info.cb = sizeof info;
    PROCESS_INFORMATION created{};
    if (!CreateProcessW(nullptr, wide.data(), nullptr, nullptr, inherit, flags, nullptr, nullptr,
                        &info, &created)) {
      return std::unexpected(GetLastError());
    }
    return Started{unique_handle(created.hProcess), unique_handle(created.hThread),
                   created.dwProcessId};
  }

  // The host file CreateProcessW runs for `line`, or its error; the process is ended unrun.
  std::expected<std::string, DWORD> program_for(const std::string& line) {
    auto started = start(line, CREATE_SUSPENDED);
    if (!started) return std::unexpected(started.error());
    TerminateProcess(started->process.get(), 1);
    return winsim::process_starts().back().program;
  }

  void write_script(const std::string& name, const std::string& body, mode_t mode = 0755) {
    dir.write(name, std::string("#!/bin/sh\n").append(body).append("\n"));
    ::chmod((dir / name).c_str(), mode);
  }

  testing::TempDir dir;
};

TEST_F(WinsimProcesses, FindsProgramsOnAWindowsPathOrAHostPath) {
  testing::ScopedEnv root("WINSIM_ROOT", dir.path());
  write_script("c/Tools/mytool.exe", "exit 0");
  write_script("bin/other", "exit 0");
  write_script("bin/mytool", "exit 0");  // later on PATH than C:\Tools

  testing::ScopedEnv path("PATH", "C:\\Missing;C:\\Tools;" + dir / "bin");
  EXPECT_EQ(program_for("mytool"), dir / "c/Tools/mytool.exe");  // ".exe" tried after the name
  EXPECT_EQ(program_for("other -x"), dir / "bin/other");

  testing::set_env("PATH", "/nonexistent:" + dir / "bin");  // a host PATH
  EXPECT_EQ(program_for("other"), dir / "bin/other");
  EXPECT_EQ(program_for("C:\\Tools\\mytool.exe"), dir / "c/Tools/mytool.exe");
  // A quoted first word: quotes group, they are not part of the name.
  EXPECT_EQ(program_for(std::string("\"").append(dir / "bin/other").append("\" a b")),
            dir / "bin/other");

  // The current directory comes before PATH; a relative path is relative to it.
  const auto here = std::filesystem::current_path();
  std::filesystem::current_path(dir / "bin");
  auto from_current = program_for("mytool");
  auto relative = program_for("..\\c\\Tools\\mytool");
  std::filesystem::current_path(here);
  EXPECT_EQ(from_current, dir / "bin/mytool");
  EXPECT_EQ(relative, dir / "bin/../c/Tools/mytool.exe");
}

TEST_F(WinsimProcesses, AProgramThatCannotRunIsRefusedWithTheWindowsError) {
  testing::ScopedEnv root("WINSIM_ROOT", dir.path());
  testing::ScopedEnv path("PATH", dir / "bin");
  write_script("bin/private", "exit 0", 0644);
  dir.make_dir("bin/folder");
  dir.write("bin/garbage", "not a program\n");
  ::chmod((dir / "bin/garbage").c_str(), 0755);

  EXPECT_EQ(program_for("tavo-no-such-tool"), std::unexpected(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(program_for("folder"), std::unexpected(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(program_for("C:\\Missing\\tool"), std::unexpected(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(program_for(dir / "bin/missing"), std::unexpected(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(program_for("private"), std::unexpected(ERROR_ACCESS_DENIED));
  EXPECT_EQ(program_for(""), std::unexpected(ERROR_FILE_NOT_FOUND));

  // A file the host cannot execute fails at once, or at the resume of a suspended process.
  auto refused = start("garbage");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), 193u);
  auto suspended = start("garbage", CREATE_SUSPENDED);
  ASSERT_TRUE(suspended);
  EXPECT_EQ(ResumeThread(suspended->thread.get()), static_cast<DWORD>(-1));
  EXPECT_EQ(GetLastError(), 193u);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(suspended->process.get(), &code));
  EXPECT_EQ(code, 127u);
  EXPECT_EQ(winsim::running_processes(), 0u);
}

TEST_F(WinsimProcesses, AHandleListHoldsOnlyOpenInheritableHandles) {
  unique_handle read_end, write_end;
  ASSERT_TRUE(CreatePipe(read_end.put(), write_end.put(), nullptr, 0));  // not inheritable
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  auto buffer = std::make_unique<std::byte[]>(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.get());
  ASSERT_TRUE(InitializeProcThreadAttributeList(list, 1, 0, &size));
  HANDLE handles[1] = {write_end.get()};
  ASSERT_TRUE(UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                        sizeof handles, nullptr, nullptr));
  STARTUPINFOEXW info{};
  info.StartupInfo.cb = sizeof info;
  info.lpAttributeList = list;
  auto with_list = [&](BOOL inherit) {
    WideString line = to_wide_nul("sh -c \"exit 0\"");
    PROCESS_INFORMATION created{};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, inherit,
                       EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &info.StartupInfo,
                       &created)) {
      CloseHandle(created.hProcess);
      CloseHandle(created.hThread);
      return ERROR_SUCCESS;
    }
    return GetLastError();
  };
  EXPECT_EQ(with_list(TRUE), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(SetHandleInformation(write_end.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT));
  EXPECT_EQ(with_list(FALSE), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(with_list(TRUE), ERROR_SUCCESS);
  handles[0] = INVALID_HANDLE_VALUE;
  EXPECT_EQ(with_list(TRUE), ERROR_INVALID_PARAMETER);
  DeleteProcThreadAttributeList(list);
}

TEST_F(WinsimProcesses, AChildWritesThroughAnInheritedPipeEndOnly) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  auto run_into_pipe = [&](bool inherit_write_end) {
    unique_handle read_end, write_end;
    EXPECT_TRUE(CreatePipe(read_end.put(), write_end.put(), &inheritable, 0));
    SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
    if (!inherit_write_end) SetHandleInformation(write_end.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW info{};
    info.cb = sizeof info;
    info.dwFlags = STARTF_USESTDHANDLES;
    info.hStdOutput = write_end.get();
    auto started =
        start(command_line("sh", {"-c", "echo through the pipe 2>/dev/null"}), 0, info, TRUE);
    EXPECT_TRUE(started);
    write_end.reset();
    std::string output;
    char buffer[64];
    DWORD read = 0;
    while (ReadFile(read_end.get(), buffer, sizeof buffer, &read, nullptr))
      output.append(buffer, read);
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    if (started) WaitForSingleObject(started->process.get(), INFINITE);
    return output;
  };
  EXPECT_EQ(run_into_pipe(true), "through the pipe\n");
  EXPECT_EQ(run_into_pipe(false), "");
}

TEST_F(WinsimProcesses, ClosingAKillOnCloseJobEndsItsProcessesAndOnlyThen) {
  auto plain = start("sleep 30", CREATE_SUSPENDED);
  auto killed = start("sleep 30", CREATE_SUSPENDED);
  ASSERT_TRUE(plain && killed);
  unique_handle plain_job(CreateJobObjectW(nullptr, nullptr));
  unique_handle kill_job(CreateJobObjectW(nullptr, nullptr));
  ASSERT_TRUE(AssignProcessToJobObject(plain_job.get(), plain->process.get()));
  ASSERT_TRUE(AssignProcessToJobObject(kill_job.get(), killed->process.get()));
  // A process belongs to one job.
  EXPECT_FALSE(AssignProcessToJobObject(plain_job.get(), killed->process.get()));
  // The limit may come after the assignment.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  ASSERT_TRUE(SetInformationJobObject(kill_job.get(), JobObjectExtendedLimitInformation, &limits,
                                      sizeof limits));
  ResumeThread(plain->thread.get());
  ResumeThread(killed->thread.get());

  plain_job.reset();
  kill_job.reset();
  EXPECT_EQ(WaitForSingleObject(killed->process.get(), 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(plain->process.get(), 50), WAIT_TIMEOUT);
  TerminateProcess(plain->process.get(), 1);
}

TEST_F(WinsimProcesses, AResetEndsEveryProcessTheTestStarted) {
  auto suspended = start("sleep 30", CREATE_SUSPENDED);
  auto running =
      start(command_line("sh", {"-c", "sleep 30 & echo $! > " + dir / "bg.pid" + "; sleep 30"}),
            CREATE_SUSPENDED);
  ASSERT_TRUE(suspended && running);
  unique_handle job(CreateJobObjectW(nullptr, nullptr));  // no kill-on-close
  ASSERT_TRUE(AssignProcessToJobObject(job.get(), running->process.get()));
  ResumeThread(running->thread.get());
  for (int i = 0; i < 200 && dir.read("bg.pid").find('\n') == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const pid_t pids[] = {static_cast<pid_t>(suspended->pid), static_cast<pid_t>(running->pid),
                        static_cast<pid_t>(std::stoi(dir.read("bg.pid")))};
  // Handles the reset forgets with everything else.
  for (Started* started : {&*suspended, &*running}) {
    started->process.release();
    started->thread.release();
  }
  job.release();
  winsim::reset();
  for (pid_t pid : pids)
    EXPECT_TRUE(testing::host_process_ends_soon(pid)) << pid;
}

}  // namespace
}  // namespace tavo
