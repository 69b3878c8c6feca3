// The program's start-up, command line and log as a user meets them: which stream carries what,
// and the status, natively and as the Windows executable under Wine.
#include <gtest/gtest.h>

#include "e2e/runner.h"
#include "support/temp_dir.h"

namespace tavo::e2e {
namespace {

const std::string kProbe = "tavo-sandbox probe ok\n";
const std::string kHint = "[ERROR tavo_sandbox] Run with --help for usage.\n";

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = unavailable()) GTEST_SKIP() << *reason;
  }
};

TEST_F(Program, AnswersOnStandardOutputAndLogsOnStandardError) {
  testing::TempDir pool;
  const std::string pool_dir = program_path(pool.path());
  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> rust_log;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      // Beside --probe nothing else is looked at, whatever the log asks for; after "--" it is
      // the command's word.
      {{"--bogus", "--probe"}, "trace", 0, kProbe, ""},
      {{"--", "tool", "--probe"},
       {},
       10,
       "",
       "[ERROR tavo_sandbox] --profile-name is required\n" + kHint},
      {{"--version"}, {}, 0, "tavo-sandbox " TAVO_PROJECT_VERSION "\n", ""},
      {{},
       {},
       10,
       "",
       "[ERROR tavo_sandbox] missing arguments. Run with --probe to validate.\n" + kHint},
      {{"--register-pool", "--pool-size", "11"},
       "a/b/c",
       10,
       "",
       "warning: invalid logging spec 'a/b/c' (too many '/'s), ignoring it\n"
       "[ERROR tavo_sandbox] pool-size must be 1..=10, got 11\n" +
           kHint},
      // A filter that names only another target silences the error; the status stays.
      {{"--cwd"}, "other=trace", 10, "", ""},
      {{"--check-pool-version", "--pool-dir", pool_dir},
       "info",
       16,
       "",
       "[INFO  tavo_sandbox] pool registration is stale (expected v1)\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = run(c.args, {{"RUST_LOG", c.rust_log}});
    EXPECT_EQ(o.status, c.status) << c.err;
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.err, c.err);
  }
  pool.write(".registration-version", "1\n");
  EXPECT_EQ(run({"--check-pool-version", "--pool-dir", pool_dir}).status, 0);

  const Outcome help = run({"--profile-name", "p", "-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: tavo-sandbox ")) << help.out;
  EXPECT_EQ(help.err, "");
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
