#include "cli.h"

#include <gtest/gtest.h>

#include "sandbox_profile/pool_dir.h"
#include "support/env.h"
#include "support/machine.h"

namespace tavo {
namespace {

// The words of `line` split at single spaces, after the program's name.
std::vector<std::string> words(std::string_view line) {
  std::vector<std::string> out = {"tavo-sandbox.exe"};
  for (std::size_t start = 0; start <= line.size();) {
    const std::size_t space = std::min(line.find(' ', start), line.size());
    if (space > start) out.emplace_back(line.substr(start, space - start));
    start = space + 1;
  }
  return out;
}

std::string error_of(const std::vector<std::string>& arguments) {
  auto result = parse_args(arguments);
  return result ? "<parsed>" : result.error();
}

template <class T>
T as(const std::vector<std::string>& arguments) {
  auto result = parse_args(arguments);
  if (!result || !std::holds_alternative<T>(*result)) {
    ADD_FAILURE() << (result ? "another mode" : result.error());
    return T{};
  }
  return std::get<T>(*result);
}

// The messages no other test shows (the missing arguments, a missing option value, a too large
// pool and a run without --profile-name are the end-to-end tests' and the usage test's).
TEST(ParseArgs, EveryRejectionHasItsMessage) {
  const std::pair<const char*, const char*> cases[] = {
      {"--network-mode Default_Blocked", "unknown network-mode: Default_Blocked"},
      {"run", "unknown argument: run"},
      {"--cleanup", "--cleanup requires --profile-name"},
      {"--register-sandbox-profile --sid-out-file f",
       "--register-sandbox-profile requires --profile-name"},
      {"--register-sandbox-profile --profile-name p",
       "--register-sandbox-profile requires --sid-out-file (path to write the SID's SDDL string)"},
      {"--register-pool --pool-size 0", "pool-size must be 1..=10, got 0"},
      {"--profile-name p", "missing `-- <command> [args...]`"},
      {"--profile-name p --", "`-- <command>` requires at least the command"},
  };
  for (const auto& [line, message] : cases)
    EXPECT_EQ(error_of(words(line)), message) << line;
}

// Which mode a command line selects is the property of the fuzz target fuzz_command_line; these
// are the cases a user meets: the first of the answering modes wins over any refused word.
TEST(ParseArgs, HelpAndVersionAnswerWhateverElseIsWrong) {
  EXPECT_TRUE(std::holds_alternative<Help>(*parse_args(words("--cleanup -h --bogus"))));
  EXPECT_TRUE(std::holds_alternative<Version>(*parse_args(words("--pool-size x --version"))));
  EXPECT_TRUE(std::holds_alternative<Probe>(*parse_args(words("--help --probe"))));
}

TEST(ParseArgs, TheLastNetworkModeCountsAndACleanupKeepsItsRevokesInOrder) {
  EXPECT_EQ(as<tavo::Run>(words("--profile-name p -- x")).network_mode,
            NetworkMode::DefaultBlocked);
  EXPECT_EQ(as<tavo::Run>(words("--network-mode common_dependencies --network-mode default_allowed "
                                "--profile-name p -- x"))
                .network_mode,
            NetworkMode::DefaultAllowed);
  Cleanup cleanup = as<Cleanup>(
      words("--cleanup --profile-name p --revoke a --revoke b --sandbox-sid-file s -- x"));
  EXPECT_EQ(cleanup.revoke, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(cleanup.sandbox_sid_file, "s");
}

// One optional '+', then decimal digits that fit 32 bits; the pool size's range matters only to
// the pool mode, the proxy port's always.
TEST(ParseArgs, NumbersAreOnePlusAndDigitsOnly) {
  EXPECT_EQ(as<RegisterPool>(words("--register-pool --pool-size +7 --pool-dir d")).pool_size, 7u);
  EXPECT_EQ(as<RegisterPool>(words("--register-pool --pool-size 10 --pool-dir d")).pool_size, 10u);
  for (const char* bad : {"-1", " 4", "4294967296", "", "+", "++1", "0x4", "4 "}) {
    EXPECT_EQ(error_of({"x", "--register-pool", "--pool-size", bad}),
              std::string("bad pool-size: ") + bad);
  }
  EXPECT_EQ(as<tavo::Run>(words("--pool-size 4294967295 --proxy-port 65535 --proxy-port +0 "
                                "--profile-name p -- x"))
                .command,
            "x");
  for (const char* bad : {"65536", "+", "", "-1"})
    EXPECT_EQ(error_of({"x", "--proxy-port", bad}), std::string("bad proxy-port: ") + bad);
}

class DefaultPoolDir : public testing::MachineTest {};

TEST_F(DefaultPoolDir, FollowsProgramDataAndFallsBackToTheSystemDefault) {
  testing::ScopedEnv data("PROGRAMDATA", "D:\\Data");
  EXPECT_EQ(as<CheckPoolVersion>(words("--check-pool-version")).pool_dir, "D:\\Data\\Tavo\\pool");
  EXPECT_EQ(as<RegisterPool>(words("--register-pool")).pool_size, 4u);
  testing::set_env("PROGRAMDATA", std::nullopt);
  EXPECT_EQ(default_pool_dir(), "C:\\ProgramData\\Tavo\\pool");
  testing::set_env("PROGRAMDATA", "");
  EXPECT_EQ(default_pool_dir(), "\\Tavo\\pool");
}

}  // namespace
}  // namespace tavo
