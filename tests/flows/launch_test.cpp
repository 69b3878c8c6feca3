// The sandboxed launch against winsim's real processes: what the command gets, what comes back,
// and that no failure leaves a process running or a handle open.
#include <gtest/gtest.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <filesystem>

#include "flows/host_processes.h"
#include "run/spawn.h"
#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

using testing::AppContainerSid;

class Launch : public testing::MachineTest {
 protected:
  void TearDown() override {
    MachineTest::TearDown();
    winsim::end_processes();  // whatever a failed expectation left behind
  }

  std::expected<std::uint32_t, HresultError> run_sh(const std::string& script,
                                                    std::optional<std::string> cwd = {}) {
    return launch_sandboxed(sid.get(), "sh", {"-c", script}, cwd);
  }

  AppContainerSid sid;
  testing::TempDir dir;
};

std::string real(const std::string& path) {
  return testing::utf8(std::filesystem::canonical(path));
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return text;
}

// The process is created suspended, in the AppContainer without capabilities, and joins its job
// before it runs its first instruction.
TEST_F(Launch, TheProcessJoinsItsJobBeforeItRuns) {
  ASSERT_EQ(run_sh("exit 0"), 0u);
  const winsim::ProcessStart& start = winsim::process_starts().at(0);
  EXPECT_EQ(start.command_line, "sh -c \"exit 0\"");
  EXPECT_EQ(start.creation_flags, DWORD{EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED});
  EXPECT_EQ(start.appcontainer_sid, AppContainerSid::kText);
  EXPECT_EQ(start.capability_count, 0u);
  std::size_t assigned = 0, resumed = 0;
  for (std::size_t i = 0; i < winsim::trace().size(); ++i) {
    if (winsim::trace()[i].function == "AssignProcessToJobObject") assigned = i + 1;
    if (winsim::trace()[i].function == "ResumeThread") resumed = i + 1;
  }
  EXPECT_TRUE(assigned != 0 && assigned < resumed);
}

// What the command gets: the directory asked for, every argument unchanged, this process's
// standard handles, and no other descriptor of this process, inheritable as it may be.
TEST_F(Launch, TheCommandGetsItsDirectoryItsArgumentsAndTheStandardHandlesOnly) {
  dir.make_dir("work");
  dir.write("in.txt", "from standard input\n");
  const int opened = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  const int stray = ::fcntl(opened, F_DUPFD, 40);
  ::close(opened);
  const std::vector<std::string> words = {"a b",       "",      "x\"y", "C:\\dir\\", "a\\\\\"b",
                                          "tab\there", "é日本", "\\\\", "\"\""};
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
    std::vector<std::string> args = {
        "-c",
        "pwd -P > where.txt; for a; do printf '[%s]\\n' \"$a\"; done > args.txt; cat; "
        "echo to-error >&2; seen=; for fd in" +
            ours +
            "; do [ -e /proc/$$/fd/$fd ] && seen=\"$seen $fd\"; done; echo \"[$seen]\" > fds.txt",
        "sh"};
    args.insert(args.end(), words.begin(), words.end());
    result = launch_sandboxed(sid.get(), "sh", args, dir / "work");
  }
  ::close(stray);
  ASSERT_EQ(result, 0u);
  EXPECT_EQ(winsim::process_starts().back().current_directory, dir / "work");
  EXPECT_EQ(trimmed(dir.read("work/where.txt")), real(dir / "work"));
  std::string expected;
  for (const std::string& word : words)
    expected += "[" + word + "]\n";
  EXPECT_EQ(dir.read("work/args.txt"), expected);
  EXPECT_EQ(dir.read("out.txt"), "from standard input\n");
  EXPECT_EQ(dir.read("err.txt"), "to-error\n");
  EXPECT_EQ(trimmed(dir.read("work/fds.txt")), "[]") << "descriptors of this process:" << ours;
}

// Standard handles as callers leave them: output not inheritable and serving as error too (a
// caller that merges the two), input missing (a service). The command still starts, writes where
// the caller's output goes and reads an empty input; each handle is listed once.
TEST_F(Launch, RunsWithTheStandardHandlesCallersHave) {
  std::expected<std::uint32_t, HresultError> result;
  {
    testing::RedirectedDescriptor out(1, dir / "out.txt", O_WRONLY | O_CREAT | O_TRUNC);
    const int saved_input = ::dup(0);
    ::close(0);
    // No ASSERT before the descriptor is back: a test that returned here would leave it closed.
    EXPECT_EQ(GetStdHandle(STD_INPUT_HANDLE), nullptr);
    EXPECT_TRUE(SetHandleInformation(GetStdHandle(STD_OUTPUT_HANDLE), HANDLE_FLAG_INHERIT, 0));
    EXPECT_TRUE(SetStdHandle(STD_ERROR_HANDLE, GetStdHandle(STD_OUTPUT_HANDLE)));
    result = run_sh("cat; echo out; echo err >&2");
    ::dup2(saved_input, 0);
    ::close(saved_input);
  }
  ASSERT_EQ(result, 0u);
  EXPECT_EQ(dir.read("out.txt"), "out\nerr\n");
  EXPECT_EQ(winsim::process_starts().back().handle_list_size, 2u);
}

// A quote would end the program word early and start "sh\\x" with the argument "y": such a
// command is refused before anything starts.
TEST_F(Launch, ACommandHoldingAQuoteStartsNothing) {
  auto quoted = launch_sandboxed(sid.get(), "sh\"x y", {}, std::nullopt);
  EXPECT_EQ(quoted.error().code(), 0x8007007Bu);  // ERROR_INVALID_NAME
  EXPECT_EQ(winsim::count_calls("CreateProcessW"), 0u);
}

}  // namespace
}  // namespace tavo
