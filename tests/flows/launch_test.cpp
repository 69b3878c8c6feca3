// The sandboxed launch against winsim's real processes: how the command starts and what it gets.
#include <gtest/gtest.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <algorithm>
#include <filesystem>

#include "flows/host_processes.h"
#include "launch/spawn.h"
#include "support/faults.h"
#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

class Launch : public testing::MachineTest {
 protected:
  void TearDown() override { winsim::end_processes(); }  // what a failed expectation left
  testing::AppContainerSid sid;
  testing::TempDir dir;
};

// Created suspended, in the AppContainer without capabilities, the process joins its job before
// its first instruction. A command holding a quote, which would end the program word early,
// starts nothing.
TEST_F(Launch, TheProcessJoinsItsJobBeforeItRuns) {
  EXPECT_EQ(launch_sandboxed(sid.get(), "sh\"x y", {}, std::nullopt).error().code(),
            0x8007007Bu);  // ERROR_INVALID_NAME
  EXPECT_EQ(winsim::count_calls("CreateProcessW"), 0u);
  ASSERT_EQ(launch_sandboxed(sid.get(), "sh", {"-c", "exit 3"}, std::nullopt), 3u);
  const winsim::ProcessStart& start = winsim::process_starts().at(0);
  EXPECT_EQ(start.creation_flags, DWORD{EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED});
  EXPECT_EQ(start.appcontainer_sid, testing::AppContainerSid::kText);
  EXPECT_EQ(start.capability_count, 0u);
  const std::vector<std::string> calls = testing::faultable_functions();
  const auto at = [&](const char* function) { return std::ranges::find(calls, function); };
  EXPECT_LT(at("AssignProcessToJobObject"), at("ResumeThread"));
}

// The command has run, but its exit code cannot be read: the launch fails with the platform's
// error rather than report a code it never read (0, a success).
TEST_F(Launch, AnExitCodeThatCannotBeReadFailsTheLaunch) {
  winsim::fail_next_call("GetExitCodeProcess", "", ERROR_ACCESS_DENIED);
  auto result = launch_sandboxed(sid.get(), "sh", {"-c", "exit 3"}, std::nullopt);
  ASSERT_FALSE(result) << *result;
  EXPECT_EQ(result.error().code(), HresultError::from_win32(ERROR_ACCESS_DENIED).code());
  EXPECT_EQ(winsim::running_processes(), 0u);
}

// The command gets its directory, this process's standard handles and no other descriptor, even
// an inheritable one. (Callers' odd handles: ChildStdHandles's platform test.)
TEST_F(Launch, TheCommandGetsItsDirectoryAndTheStandardHandlesOnly) {
  dir.make_dir("work");
  dir.write("in.txt", "from standard input\n");
  const int stray = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);  // inheritable
  std::string ours;
  std::expected<std::uint32_t, HresultError> result;
  {
    testing::RedirectedDescriptor in(0, dir / "in.txt", O_RDONLY);
    testing::RedirectedDescriptor out(1, dir / "out.txt", O_WRONLY | O_CREAT | O_TRUNC);
    testing::RedirectedDescriptor err(2, dir / "err.txt", O_WRONLY | O_CREAT | O_TRUNC);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      if (std::stoi(entry.path().filename().string()) >= 3)
        ours.append(" ").append(entry.path().filename().string());
    }
    result = launch_sandboxed(sid.get(), "sh",
                              {"-c", "pwd -P; cat; echo to-error >&2; for fd in" + ours +
                                         "; do [ -e /proc/$$/fd/$fd ] && echo $fd; done; true"},
                              dir / "work");
  }
  ::close(stray);
  ASSERT_EQ(result, 0u);
  EXPECT_EQ(dir.read("out.txt"),
            testing::utf8(std::filesystem::canonical(dir / "work")) + "\nfrom standard input\n")
      << "descriptors of this process:" << ours;
  EXPECT_EQ(dir.read("err.txt"), "to-error\n");
}

}  // namespace
}  // namespace tavo
