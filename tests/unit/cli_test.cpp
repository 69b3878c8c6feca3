#include "cli.h"

#include <gtest/gtest.h>

#include "support/env.h"
#include "support/machine.h"

namespace tavo {
namespace {

std::expected<Command, std::string> parse(std::vector<std::string> words) {
  words.insert(words.begin(), "tavo-sandbox.exe");
  return parse_args(words);
}

std::string error_of(std::vector<std::string> words) {
  auto result = parse(std::move(words));
  EXPECT_FALSE(result.has_value());
  return result ? std::string("<parsed>") : result.error();
}

template <class T>
T as(std::vector<std::string> words) {
  auto result = parse(std::move(words));
  EXPECT_TRUE(result.has_value()) << (result ? "" : result.error());
  if (!result || !std::holds_alternative<T>(*result)) {
    ADD_FAILURE() << "parsed into another mode (index " << (result ? result->index() : 99) << ")";
    return T{};
  }
  return std::get<T>(*result);
}

TEST(ParseArgs, EveryRejectionHasItsMessage) {
  EXPECT_EQ(parse_args({"tavo-sandbox.exe"}).error(),
            "missing arguments. Run with --probe to validate.");
  EXPECT_EQ(parse_args({}).error(), "missing arguments. Run with --probe to validate.");
  EXPECT_EQ(error_of({"--profile-name"}), "--profile-name requires a value");
  EXPECT_EQ(error_of({"--register-pool", "--pool-size", "x"}), "bad pool-size: x");
  EXPECT_EQ(error_of({"--network-mode", "Default_Blocked"}),
            "unknown network-mode: Default_Blocked");
  EXPECT_EQ(error_of({"--proxy-port", "65536"}), "bad proxy-port: 65536");
  EXPECT_EQ(error_of({"run"}), "unknown argument: run");
  EXPECT_EQ(error_of({"--cleanup"}), "--cleanup requires --profile-name");
  EXPECT_EQ(error_of({"--register-sandbox-profile", "--sid-out-file", "f"}),
            "--register-sandbox-profile requires --profile-name");
  EXPECT_EQ(error_of({"--register-sandbox-profile", "--profile-name", "p"}),
            "--register-sandbox-profile requires --sid-out-file (path to write the SID's SDDL "
            "string)");
  EXPECT_EQ(error_of({"--register-pool", "--pool-size", "11"}), "pool-size must be 1..=10, got 11");
  EXPECT_EQ(error_of({"--", "x"}), "--profile-name is required");
  EXPECT_EQ(error_of({"--profile-name", "p"}), "missing `-- <command> [args...]`");
  EXPECT_EQ(error_of({"--profile-name", "p", "--"}),
            "`-- <command>` requires at least the command");
}

TEST(ParseArgs, ModePrecedenceIsProbeCleanupRegistrationPoolVersionRun) {
  EXPECT_TRUE(std::holds_alternative<Probe>(*parse({"--cleanup", "--probe", "--bogus"})));
  EXPECT_EQ(as<Cleanup>({"--cleanup", "--register-pool", "--profile-name", "p"}).profile_name, "p");
  EXPECT_EQ(as<RegisterSandboxProfile>({"--register-pool", "--register-sandbox-profile",
                                        "--profile-name", "p", "--sid-out-file", "s"})
                .sid_out_file,
            "s");
  EXPECT_EQ(
      as<RegisterPool>({"--check-pool-version", "--register-pool", "--pool-dir", "d"}).pool_dir,
      "d");
  EXPECT_EQ(as<CheckPoolVersion>({"--check-pool-version", "--pool-dir", "d"}).pool_dir, "d");
}

TEST(ParseArgs, ModeFlagsAfterTheSeparatorBelongToTheCommand) {
  // The sandboxed command's own words never select a mode.
  tavo::Run run = as<tavo::Run>({"--profile-name", "p", "--", "tool", "--cleanup", "--probe"});
  EXPECT_EQ(run.command, "tool");
  EXPECT_EQ(run.args, (std::vector<std::string>{"--cleanup", "--probe"}));
  EXPECT_EQ(error_of({"--", "mytool", "--probe"}), "--profile-name is required");
  // A "--" that is an option's value does not end the options.
  EXPECT_TRUE(std::holds_alternative<Probe>(*parse({"--cwd", "--", "--probe"})));
}

TEST(ParseArgs, ValuesAreTakenVerbatimWhateverTheyLookLike) {
  tavo::Run run =
      as<tavo::Run>({"--cwd", "--", "--profile-name", "-x", "--grant-r", "", "--", "x"});
  EXPECT_EQ(run.cwd, "--");
  EXPECT_EQ(run.profile_name, "-x");
  EXPECT_EQ(run.grant_r, (std::vector<std::string>{""}));
  EXPECT_EQ(run.command, "x");
  EXPECT_EQ(error_of({"--profile-name", "p", "--cwd"}), "--cwd requires a value");
  EXPECT_EQ(error_of({"-x", "--", "y"}), "unknown argument: -x");
  EXPECT_EQ(error_of({"--profile-name=p", "--", "y"}), "unknown argument: --profile-name=p");
}

TEST(ParseArgs, RunCollectsListsInOrderAndLastSingleValueWins) {
  tavo::Run run = as<tavo::Run>({"--profile-name",
                                 "a",
                                 "--profile-name",
                                 "b",
                                 "--grant-r",
                                 "A",
                                 "--grant-rw",
                                 "W",
                                 "--grant-r",
                                 "B",
                                 "--deny-access",
                                 "D",
                                 "--sandbox-sid-file",
                                 "s1",
                                 "--sandbox-sid-file",
                                 "s2",
                                 "--network-mode",
                                 "common_dependencies",
                                 "--network-mode",
                                 "default_allowed",
                                 "--",
                                 "cmd",
                                 "a1",
                                 "",
                                 "a 3"});
  EXPECT_EQ(run.profile_name, "b");
  EXPECT_EQ(run.grant_r, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(run.grant_rw, (std::vector<std::string>{"W"}));
  EXPECT_EQ(run.deny_access, (std::vector<std::string>{"D"}));
  EXPECT_EQ(run.sandbox_sid_file, "s2");
  EXPECT_EQ(run.network_mode, NetworkMode::DefaultAllowed);
  EXPECT_EQ(run.command, "cmd");
  EXPECT_EQ(run.args, (std::vector<std::string>{"a1", "", "a 3"}));
  EXPECT_FALSE(run.cwd.has_value());

  tavo::Run plain = as<tavo::Run>({"--profile-name", "p", "--", "x"});
  EXPECT_EQ(plain.network_mode, NetworkMode::DefaultBlocked);
  EXPECT_TRUE(plain.args.empty());
}

TEST(ParseArgs, NumbersAcceptOnePlusAndDigitsOnly) {
  EXPECT_EQ(as<RegisterPool>({"--register-pool", "--pool-size", "+7", "--pool-dir", "d"}).pool_size,
            7u);
  EXPECT_EQ(as<RegisterPool>({"--register-pool", "--pool-size", "10", "--pool-dir", "d"}).pool_size,
            10u);
  for (const char* bad : {"-1", " 4", "4294967296", "", "+", "++1", "0x4", "4 "}) {
    EXPECT_EQ(error_of({"--register-pool", "--pool-size", bad}),
              std::string("bad pool-size: ") + bad);
  }
  EXPECT_EQ(error_of({"--register-pool", "--pool-size", "0"}), "pool-size must be 1..=10, got 0");
  // Outside the pool mode the size must parse but its range does not matter.
  EXPECT_EQ(as<tavo::Run>(
                {"--pool-size", "0", "--pool-size", "4294967295", "--profile-name", "p", "--", "x"})
                .command,
            "x");
  for (const char* port : {"65535", "+0", "0"}) {
    EXPECT_EQ(as<tavo::Run>({"--proxy-port", port, "--profile-name", "p", "--", "x"}).command, "x");
  }
  for (const char* bad : {"65536", "+", "", "-1"}) {
    EXPECT_EQ(error_of({"--proxy-port", bad}), std::string("bad proxy-port: ") + bad);
  }
}

TEST(ParseArgs, CleanupAndRegistrationIgnoreTheCommand) {
  Cleanup cleanup = as<Cleanup>({"--cleanup", "--profile-name", "p", "--revoke", "a", "--revoke",
                                 "b", "--sandbox-sid-file", "s", "--", "x"});
  EXPECT_EQ(cleanup.revoke, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(cleanup.sandbox_sid_file, "s");
  EXPECT_TRUE(as<Cleanup>({"--profile-name", "p", "--cleanup"}).revoke.empty());
  EXPECT_EQ(as<RegisterSandboxProfile>({"--register-sandbox-profile", "--profile-name", "p",
                                        "--sid-out-file", "f", "--", "x"})
                .profile_name,
            "p");
}

class DefaultPoolDir : public testing::MachineTest {};

TEST_F(DefaultPoolDir, FollowsProgramDataAndFallsBackToTheSystemDefault) {
  {
    testing::ScopedEnv data("PROGRAMDATA", "D:\\Data");
    EXPECT_EQ(default_pool_dir(), "D:\\Data\\Tavo\\pool");
    EXPECT_EQ(as<CheckPoolVersion>({"--check-pool-version"}).pool_dir, "D:\\Data\\Tavo\\pool");
    EXPECT_EQ(as<RegisterPool>({"--register-pool"}).pool_size, 4u);
  }
  {
    testing::ScopedEnv unset("PROGRAMDATA", std::nullopt);
    EXPECT_EQ(default_pool_dir(), "C:\\ProgramData\\Tavo\\pool");
  }
  testing::ScopedEnv empty("PROGRAMDATA", "");
  EXPECT_EQ(default_pool_dir(), "\\Tavo\\pool");
}

}  // namespace
}  // namespace tavo
