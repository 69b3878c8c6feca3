// The program's start-up, command line and log as a user meets them: which stream carries what,
// and the status, natively and as the Windows executable under Wine.
#include <gtest/gtest.h>

#include "e2e/runner.h"

namespace tavo::e2e {
namespace {

TEST(Program, EachInvocationEndsWithItsStatusOnItsStreams) {
  if (auto reason = unavailable()) GTEST_SKIP() << *reason;
  testing::TempDir pool;
  const std::string pool_dir = program_path(pool.path());
  const std::string hint = "[ERROR tavo_sandbox] Run with --help for usage.\n";
  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> rust_log;
    int status;
    std::string out_start, err;
  };
  std::vector<Case> cases = {
      // Beside --probe nothing else is looked at, whatever the log asks for.
      {{"--bogus", "--probe"}, "trace", 0, "tavo-sandbox probe ok\n", ""},
      {{"--profile-name", "p", "-h"}, {}, 0, "Usage: tavo-sandbox ", ""},
      {{"--version"}, {}, 0, "tavo-sandbox " TAVO_PROJECT_VERSION "\n", ""},
      {{},
       {},
       10,
       "",
       "[ERROR tavo_sandbox] missing arguments. Run with --probe to validate.\n" + hint},
      {{"--register-pool", "--pool-size", "11"},
       "a/b/c",
       10,
       "",
       "warning: invalid logging spec 'a/b/c' (too many '/'s), ignoring it\n"
       "[ERROR tavo_sandbox] pool-size must be 1..=10, got 11\n" +
           hint},
      // A filter that names only another target silences the error; the status stays.
      {{"--cwd"}, "other=trace", 10, "", ""},
      {{"--check-pool-version", "--pool-dir", pool_dir},
       "info",
       16,
       "",
       "[INFO  tavo_sandbox] pool registration is stale (expected v1)\n"},
  };
  if (!emulated()) {  // the emulator converts arguments before the program sees them
    cases.push_back({{"--profile-name", "\xFF", "--", "x"},
                     {},
                     101,
                     "",
                     "tavo-sandbox: internal error: argument 2 is not valid Unicode\n"});
  }
  for (const Case& c : cases) {
    const Outcome o = run(c.args, {{"RUST_LOG", c.rust_log}});
    EXPECT_EQ(o.status, c.status) << c.err;
    EXPECT_TRUE(c.out_start.empty() ? o.out.empty() : o.out.starts_with(c.out_start)) << o.out;
    EXPECT_EQ(o.err, c.err);
  }
  pool.write(".registration-version", "1\n");
  EXPECT_EQ(run({"--check-pool-version", "--pool-dir", pool_dir}).status, 0);
}

}  // namespace
}  // namespace tavo::e2e
