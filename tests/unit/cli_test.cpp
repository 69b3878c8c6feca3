#include "cli.h"

#include "sandbox_profile/pool_dir.h"

#include <gtest/gtest.h>

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
    ADD_FAILURE() << (result ? "another mode, index " + std::to_string(result->index())
                             : result.error());
    return T{};
  }
  return std::get<T>(*result);
}

TEST(ParseArgs, EveryRejectionHasItsMessage) {
  EXPECT_EQ(error_of({}), "missing arguments. Run with --probe to validate.");
  const std::pair<const char*, const char*> cases[] = {
      {"", "missing arguments. Run with --probe to validate."},
      {"--profile-name", "--profile-name requires a value"},
      {"--profile-name p --cwd", "--cwd requires a value"},
      {"--register-pool --pool-size x", "bad pool-size: x"},
      {"--network-mode Default_Blocked", "unknown network-mode: Default_Blocked"},
      {"--proxy-port 65536", "bad proxy-port: 65536"},
      {"run", "unknown argument: run"},
      {"-x -- y", "unknown argument: -x"},
      {"--profile-name=p -- y", "unknown argument: --profile-name=p"},
      {"--cleanup", "--cleanup requires --profile-name"},
      {"--register-sandbox-profile --sid-out-file f",
       "--register-sandbox-profile requires --profile-name"},
      {"--register-sandbox-profile --profile-name p",
       "--register-sandbox-profile requires --sid-out-file (path to write the SID's SDDL string)"},
      {"--register-pool --pool-size 11", "pool-size must be 1..=10, got 11"},
      {"--register-pool --pool-size 0", "pool-size must be 1..=10, got 0"},
      {"-- x", "--profile-name is required"},
      {"--profile-name p", "missing `-- <command> [args...]`"},
      {"--profile-name p --", "`-- <command>` requires at least the command"},
  };
  for (const auto& [line, message] : cases)
    EXPECT_EQ(error_of(words(line)), message) << line;
}

TEST(ParseArgs, ModePrecedenceIsProbeHelpVersionCleanupRegistrationPoolCheckRun) {
  EXPECT_TRUE(
      std::holds_alternative<Probe>(*parse_args(words("--cleanup --help --probe --bogus"))));
  // Help and version answer whatever else is wrong with the command line.
  for (const char* line : {"--cleanup -h", "--version --help", "--pool-size x --bogus --help"})
    EXPECT_TRUE(std::holds_alternative<Help>(*parse_args(words(line)))) << line;
  EXPECT_TRUE(
      std::holds_alternative<Version>(*parse_args(words("--cwd --register-pool --version"))));
  EXPECT_EQ(as<Cleanup>(words("--cleanup --register-pool --profile-name p")).profile_name, "p");
  EXPECT_EQ(as<RegisterSandboxProfile>(words("--register-pool --register-sandbox-profile "
                                             "--profile-name p --sid-out-file s"))
                .sid_out_file,
            "s");
  EXPECT_EQ(as<RegisterPool>(words("--check-pool-version --register-pool --pool-dir d")).pool_dir,
            "d");
  EXPECT_EQ(as<CheckPoolVersion>(words("--check-pool-version --pool-dir d")).pool_dir, "d");
}

// A mode flag counts only where it stands as an option. After "--" it is the command's own word
// (`-- tool --help` runs the tool); as an option's value it is the value, so a path a caller
// passes on (`--grant-r --cleanup`) can never turn a run into another mode.
TEST(ParseArgs, ModeFlagsThatAreValuesOrTheCommandsWordsSelectNothing) {
  tavo::Run run = as<tavo::Run>(words("--profile-name p -- tool --help -h --version --cleanup"));
  EXPECT_EQ(run.command, "tool");
  EXPECT_EQ(run.args, (std::vector<std::string>{"--help", "-h", "--version", "--cleanup"}));
  EXPECT_EQ(error_of(words("-- mytool --probe")), "--profile-name is required");
  // A "--" that is an option's value does not end the options.
  EXPECT_TRUE(std::holds_alternative<Probe>(*parse_args(words("--cwd -- --probe"))));
  for (const char* flag :
       {"--probe", "--help", "-h", "--version", "--cleanup", "--register-sandbox-profile",
        "--register-pool", "--check-pool-version"}) {
    tavo::Run valued =
        as<tavo::Run>({"x", "--grant-r", flag, "--cwd", flag, "--profile-name", flag, "--", "c"});
    EXPECT_EQ(valued.grant_r, std::vector<std::string>{flag});
    EXPECT_EQ(valued.cwd, flag);
    EXPECT_EQ(valued.profile_name, flag);
  }
}

TEST(ParseArgs, RunTakesValuesVerbatimListsInOrderAndTheLastSingleValue) {
  std::vector<std::string> line = words(
      "--cwd -- --profile-name a --profile-name -x --grant-r A --grant-rw W --grant-r B "
      "--deny-access D --sandbox-sid-file s1 --sandbox-sid-file s2 --network-mode "
      "common_dependencies --network-mode default_allowed --grant-r");
  line.insert(line.end(), {"", "--", "cmd", "a1", "", "a 3"});
  tavo::Run run = as<tavo::Run>(line);
  EXPECT_EQ(run.cwd, "--");
  EXPECT_EQ(run.profile_name, "-x");
  EXPECT_EQ(run.grant_r, (std::vector<std::string>{"A", "B", ""}));
  EXPECT_EQ(run.grant_rw, (std::vector<std::string>{"W"}));
  EXPECT_EQ(run.deny_access, (std::vector<std::string>{"D"}));
  EXPECT_EQ(run.sandbox_sid_file, "s2");
  EXPECT_EQ(run.network_mode, NetworkMode::DefaultAllowed);
  EXPECT_EQ(run.command, "cmd");
  EXPECT_EQ(run.args, (std::vector<std::string>{"a1", "", "a 3"}));

  tavo::Run plain = as<tavo::Run>(words("--profile-name p -- x"));
  EXPECT_EQ(plain.network_mode, NetworkMode::DefaultBlocked);
  EXPECT_FALSE(plain.cwd.has_value());
  EXPECT_TRUE(plain.args.empty());
}

// One optional '+', then decimal digits that fit 32 bits; the pool size's range matters only to
// the pool mode, the proxy port's always.
TEST(ParseArgs, NumbersAcceptOnePlusAndDigitsOnly) {
  EXPECT_EQ(as<RegisterPool>(words("--register-pool --pool-size +7 --pool-dir d")).pool_size, 7u);
  EXPECT_EQ(as<RegisterPool>(words("--register-pool --pool-size 10 --pool-dir d")).pool_size, 10u);
  for (const char* bad : {"-1", " 4", "4294967296", "", "+", "++1", "0x4", "4 "}) {
    EXPECT_EQ(error_of({"x", "--register-pool", "--pool-size", bad}),
              std::string("bad pool-size: ") + bad);
  }
  EXPECT_EQ(
      as<tavo::Run>(words("--pool-size 0 --pool-size 4294967295 --profile-name p -- x")).command,
      "x");
  for (const char* port : {"65535", "+0", "0"})
    EXPECT_EQ(as<tavo::Run>({"x", "--proxy-port", port, "--profile-name", "p", "--", "x"}).command,
              "x");
  for (const char* bad : {"65536", "+", "", "-1"})
    EXPECT_EQ(error_of({"x", "--proxy-port", bad}), std::string("bad proxy-port: ") + bad);
}

TEST(ParseArgs, CleanupAndRegistrationIgnoreTheCommand) {
  Cleanup cleanup = as<Cleanup>(
      words("--cleanup --profile-name p --revoke a --revoke b --sandbox-sid-file s -- x"));
  EXPECT_EQ(cleanup.revoke, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(cleanup.sandbox_sid_file, "s");
  EXPECT_TRUE(as<Cleanup>(words("--profile-name p --cleanup")).revoke.empty());
  EXPECT_EQ(as<RegisterSandboxProfile>(
                words("--register-sandbox-profile --profile-name p --sid-out-file f -- x"))
                .profile_name,
            "p");
}

class DefaultPoolDir : public testing::MachineTest {};

TEST_F(DefaultPoolDir, FollowsProgramDataAndFallsBackToTheSystemDefault) {
  testing::ScopedEnv data("PROGRAMDATA", "D:\\Data");
  EXPECT_EQ(default_pool_dir(), "D:\\Data\\Tavo\\pool");
  EXPECT_EQ(as<CheckPoolVersion>(words("--check-pool-version")).pool_dir, "D:\\Data\\Tavo\\pool");
  EXPECT_EQ(as<RegisterPool>(words("--register-pool")).pool_size, 4u);
  testing::set_env("PROGRAMDATA", std::nullopt);
  EXPECT_EQ(default_pool_dir(), "C:\\ProgramData\\Tavo\\pool");
  testing::set_env("PROGRAMDATA", "");
  EXPECT_EQ(default_pool_dir(), "\\Tavo\\pool");
}

}  // namespace
}  // namespace tavo
