// The program's start-up, command line, log and pool version check, as a user meets them.
#include <gtest/gtest.h>

#include "e2e/runner.h"
#include "support/temp_dir.h"

namespace tavo::e2e {
namespace {

const std::string kHint = "[ERROR tavo_sandbox] Run with --help for usage.\n";

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = unavailable()) GTEST_SKIP() << *reason;
  }
};

TEST_F(Program, ProbeAnswersOnStandardOutputOnly) {
  for (const char* level : {"error", "trace"}) {
    Outcome o = run({"--probe"}, {{"RUST_LOG", level}});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "tavo-sandbox probe ok\n");
    EXPECT_EQ(o.err, "");
  }
  // Beside --probe nothing else is looked at; after "--" it is the command's word.
  EXPECT_EQ(run({"--bogus", "--probe"}).out, "tavo-sandbox probe ok\n");
  Outcome command_word = run({"--", "tool", "--probe"});
  EXPECT_EQ(command_word.status, 10);
  EXPECT_EQ(command_word.err, "[ERROR tavo_sandbox] --profile-name is required\n" + kHint);
}

TEST_F(Program, HelpAndVersionAnswerOnStandardOutput) {
  Outcome help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: tavo-sandbox ")) << help.out;
  EXPECT_EQ(help.err, "");
  Outcome short_help = run({"--profile-name", "p", "-h"});
  EXPECT_EQ(short_help.status, 0);
  EXPECT_EQ(short_help.out, help.out);
  Outcome version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "tavo-sandbox " TAVO_PROJECT_VERSION "\n");
  EXPECT_EQ(version.err, "");
}

TEST_F(Program, RejectedCommandLinesLogTheirErrorAndTheHintAndEndWith10) {
  Outcome none = run({});
  EXPECT_EQ(none.status, 10);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err,
            "[ERROR tavo_sandbox] missing arguments. Run with --probe to validate.\n" + kHint);
  Outcome o = run({"--register-pool", "--pool-size", "11"}, {{"RUST_LOG", "a/b/c"}});
  EXPECT_EQ(o.status, 10);
  EXPECT_EQ(o.err,
            "warning: invalid logging spec 'a/b/c' (too many '/'s), ignoring it\n"
            "[ERROR tavo_sandbox] pool-size must be 1..=10, got 11\n" +
                kHint);
  // A filter that names only another target silences the error; the status stays.
  Outcome silent = run({"--cwd"}, {{"RUST_LOG", "other=trace"}});
  EXPECT_EQ(silent.status, 10);
  EXPECT_EQ(silent.err, "");
}

TEST_F(Program, PoolVersionCheckFollowsTheMarker) {
  testing::TempDir pool;
  Outcome stale = run({"--check-pool-version", "--pool-dir", program_path(pool.path())},
                      {{"RUST_LOG", "info"}});
  EXPECT_EQ(stale.status, 16);
  EXPECT_EQ(stale.out, "");
  EXPECT_EQ(stale.err, "[INFO  tavo_sandbox] pool registration is stale (expected v1)\n");
  pool.write(".registration-version", "1\n");
  Outcome current = run({"--check-pool-version", "--pool-dir", program_path(pool.path())},
                        {{"RUST_LOG", "trace"}});
  EXPECT_EQ(current.status, 0);
  EXPECT_EQ(current.out, "");
  EXPECT_EQ(current.err, "");
}

TEST_F(Program, ArgumentsThatAreNotUnicodeAreAnInternalFailure) {
  if (emulated()) GTEST_SKIP() << "the emulator converts arguments before the program sees them";
  Outcome o = run({"--profile-name", "\xFF", "--", "x"});
  EXPECT_EQ(o.status, 101);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "tavo-sandbox: internal error: argument 2 is not valid Unicode\n");
}

}  // namespace
}  // namespace tavo::e2e
