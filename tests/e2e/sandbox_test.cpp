// Sandboxed runs, registrations and cleanup as a user meets them: natively on the simulated
// machine, whose state a file carries from one invocation to the next, and, where Wine has the
// calls, the Windows executable under Wine.
#include <gtest/gtest.h>

#include "e2e/runner.h"

namespace tavo::e2e {
namespace {

class Sandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = unavailable()) GTEST_SKIP() << *reason;
    for (const char* dir : {"c/work/src", "c/work/secret", "c/Users/u/AppData/Local"})
      root.make_dir(dir);
    root.write("sid", "S-1-15-2-1-2-3-4-5-6-7\n");
  }

  // The simulated machine: drive C: below the temporary directory, its state in a file. Under an
  // emulator only `more` applies: the machine there is the emulator's.
  EnvChanges machine(EnvChanges more = {}) const {
    if (emulated()) return more;
    more.insert(more.end(), {{"WINSIM_ROOT", root.path()},
                             {"WINSIM_STATE", root / "state"},
                             {"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"},
                             {"PATH", "/usr/bin;/bin"}});
    return more;
  }

  testing::TempDir root;
};

// Each way a run, a cleanup or a registration fails ends with its own status and one error line,
// leaving nothing behind. Wine has no AppContainer profiles; on the simulated machine a name it
// refuses does the same.
TEST_F(Sandbox, EachFailureEndsWithItsStatus) {
  const std::string sid_file = program_path(root / "sid");
  const std::string unmade = emulated() ? "p" : "not/allowed";
  std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
      {{"--profile-name", "p", "--sandbox-sid-file", sid_file, "--grant-r", "C:\\Windows\\System32",
        "--", "x"},
       12,
       "refusing to modify ACL on system path: C:\\Windows\\System32\n"},
      {{"--profile-name", unmade, "--", "x"}, 11, "ensure profile failed: "},
      {{"--profile-name", "p", "--sandbox-sid-file", sid_file, "--", "no-such-program-anywhere"},
       14,
       "spawn failed: "},
      {{"--cleanup", "--profile-name", unmade, "--revoke", program_path(root / "c/work/src")},
       17,
       "cleanup: derive_sid failed: "},
      {{"--cleanup", "--profile-name", "p", "--sandbox-sid-file", sid_file}, 0, ""},
      {{"--register-sandbox-profile", "--profile-name", unmade, "--sid-out-file",
        program_path(root / "out.sid")},
       13,
       "register sandbox profile failed: "},
  };
  if (emulated()) {  // the simulated machine has profiles for a pool
    cases.push_back(
        {{"--register-pool", "--pool-size", "1", "--pool-dir", program_path(root / "pool")},
         13,
         "register pool failed: "});
  }
  for (const auto& [args, status, err] : cases) {
    const Outcome o = run(args, machine());
    EXPECT_EQ(o.status, status) << o.err;
    EXPECT_TRUE(err.empty() ? o.err.empty() : o.err.starts_with("[ERROR tavo_sandbox] " + err))
        << o.err;
  }
  EXPECT_FALSE(root.exists("out.sid") || root.exists("pool/.registration-version"));
}

// What an administrator's registration leaves serves a later unprivileged run and a cleanup, each
// its own process: the deny holds while the command runs and goes with the run; the grant stays
// until the cleanup, which deletes the profile too.
TEST_F(Sandbox, ARegistrationServesLaterUnprivilegedProcesses) {
  if (emulated()) GTEST_SKIP() << "needs the simulated machine's security model";
  const std::string sid_file = "C:\\ProgramData\\Tavo\\shared.sid";
  const Outcome registered =
      run({"--register-sandbox-profile", "--profile-name", "shared", "--sid-out-file", sid_file},
          machine());
  ASSERT_EQ(registered.status, 0) << registered.err;
  EXPECT_EQ(registered.err, "");  // no progress where standard error is not a console
  std::string sid = root.read("c/ProgramData/Tavo/shared.sid");
  sid.pop_back();

  const Outcome ran =
      run({"--profile-name", "ignored", "--sandbox-sid-file", sid_file, "--network-mode",
           "common_dependencies", "--grant-rw", "C:\\work\\src", "--deny-access",
           "C:\\work\\secret", "--", "sh", "-c", "/bin/cat \"$WINSIM_STATE\"; exit 3"},
          machine({{"WINSIM_ADMIN", "0"}}));
  EXPECT_EQ(ran.status, 3) << ran.err;
  EXPECT_EQ(ran.err, "");
  const std::string deny = (root / "c/work/secret") + "\tD:(D;OICI;0x1f01ff;;;" + sid + ")";
  EXPECT_NE(ran.out.find(deny), std::string::npos) << ran.out;
  EXPECT_EQ(stored_dacl(root, "c/work/secret"), "");
  EXPECT_EQ(stored_dacl(root, "c/work/src"), "D:(A;OICI;0x1301bf;;;" + sid + ")");

  const std::vector<std::string> cleanup = {"--cleanup", "--profile-name", "shared", "--revoke",
                                            "C:\\work\\src"};
  EXPECT_EQ(run(cleanup, machine()).status, 0);
  EXPECT_EQ(stored_dacl(root, "c/work/src"), "");
  EXPECT_EQ(root.read("state").find("profile\tshared\t"), std::string::npos);
}

}  // namespace
}  // namespace tavo::e2e
