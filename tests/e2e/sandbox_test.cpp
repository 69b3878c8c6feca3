// Sandboxed runs, registrations and cleanup as a user meets them: natively on the simulated
// machine, whose state a file carries from one invocation to the next, and, where Wine has the
// calls, the Windows executable under Wine.
#include <gtest/gtest.h>

#include <filesystem>

#include "e2e/runner.h"
#include "support/temp_dir.h"

namespace tavo::e2e {
namespace {

class Sandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = unavailable()) GTEST_SKIP() << *reason;
    for (const char* dir : {"c/work/src", "c/work/secret", "c/Users/u/AppData/Local", "tools"})
      root.make_dir(dir);
    root.write("sid", "S-1-15-2-1-2-3-4-5-6-7\n");
    root.write("tools/icacls", "#!/bin/sh\nexit 0\n");
    std::filesystem::permissions(root / "tools/icacls", std::filesystem::perms::owner_all);
  }

  // The simulated machine: drive C: below the temporary directory, its state in a file. Under an
  // emulator only `more` applies: the machine there is the emulator's.
  EnvChanges machine(EnvChanges more = {}) const {
    if (emulated()) return more;
    EnvChanges env = {{"WINSIM_ROOT", root.path()},
                      {"WINSIM_STATE", root / "state"},
                      {"USERPROFILE", "C:\\Users\\u"},
                      {"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"},
                      {"PATH", (root / "tools") + ";/usr/bin;/bin"}};
    env.insert(env.end(), more.begin(), more.end());
    return env;
  }
  bool state_holds(const std::string& text) const {
    return root.read("state").find(text) != std::string::npos;
  }

  testing::TempDir root;
};

// Each way a run or cleanup fails ends with its own status and one error line. Wine has no
// AppContainer profiles; on the simulated machine a name it refuses does the same.
TEST_F(Sandbox, EachFailureEndsWithItsStatus) {
  const std::string sid_file = program_path(root / "sid");
  const std::string unmade = emulated() ? "p" : "not/allowed";
  const std::string error = "[ERROR tavo_sandbox] ";
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{"--profile-name", "p", "--network-mode", "default_allowed", "--", "x"},
       13,
       error + "network mode DefaultAllowed requires --sandbox-sid-file (admin setup not run?)\n"},
      {{"--profile-name", "p", "--sandbox-sid-file", sid_file, "--grant-r", "C:\\Windows\\System32",
        "--", "x"},
       12,
       error + "refusing to modify ACL on system path: C:\\Windows\\System32\n"},
      {{"--profile-name", unmade, "--", "x"}, 11, error + "ensure profile failed: "},
      {{"--profile-name", "p", "--sandbox-sid-file", sid_file, "--", "no-such-program-anywhere"},
       14,
       error + "spawn failed: "},
      {{"--cleanup", "--profile-name", unmade, "--revoke", program_path(root / "c/work/src")},
       17,
       error + "cleanup: derive_sid failed: "},
      {{"--cleanup", "--profile-name", "p", "--sandbox-sid-file", sid_file}, 0, ""},
  };
  for (const auto& [args, status, err] : cases) {
    const Outcome o = run(args, machine());
    EXPECT_EQ(o.status, status) << o.err;
    EXPECT_TRUE(err.empty() ? o.err.empty() : o.err.starts_with(err)) << o.err;
  }
}

TEST_F(Sandbox, RegistrationsFailCleanlyWithoutProfiles) {
  if (!emulated()) GTEST_SKIP() << "the simulated machine has AppContainer profiles";
  Outcome profile = run({"--register-sandbox-profile", "--profile-name", "p", "--sid-out-file",
                         program_path(root / "out.sid")});
  EXPECT_EQ(profile.status, 13);
  EXPECT_TRUE(profile.err.starts_with("[ERROR tavo_sandbox] register sandbox profile failed: "))
      << profile.err;
  EXPECT_FALSE(root.exists("out.sid"));
  Outcome pool =
      run({"--register-pool", "--pool-size", "1", "--pool-dir", program_path(root / "pool")});
  EXPECT_EQ(pool.status, 13);
  EXPECT_TRUE(pool.err.starts_with("[ERROR tavo_sandbox] register pool failed: ")) << pool.err;
  EXPECT_FALSE(root.exists("pool/.registration-version"));
}

// What an administrator's registrations leave serves later unprivileged runs, each its own
// process: the SID files, the profiles, the pool's marker, the entries.
TEST_F(Sandbox, RegistrationsServeUnprivilegedRunsAndCleanup) {
  if (emulated()) GTEST_SKIP() << "needs the simulated machine's security model";
  const std::string sid_file = "C:\\ProgramData\\Tavo\\shared.sid";
  const std::string pool = "C:\\ProgramData\\Tavo\\pool";
  const Outcome registered =
      run({"--register-sandbox-profile", "--profile-name", "shared", "--sid-out-file", sid_file},
          machine());
  ASSERT_EQ(registered.status, 0) << registered.err;
  EXPECT_EQ(registered.err, "");  // no progress where standard error is not a console
  EXPECT_EQ(registered.out, "tavo-sandbox: registered sandbox profile 'shared' (SID written to '" +
                                sid_file + "')\n");
  std::string sid = root.read("c/ProgramData/Tavo/shared.sid");
  sid.pop_back();
  EXPECT_TRUE(state_holds("profile\tshared\t" + sid) && state_holds("loopback\t" + sid));
  const Outcome pooled =
      run({"--register-pool", "--pool-size", "1", "--pool-dir", pool}, machine());
  ASSERT_EQ(pooled.status, 0);
  EXPECT_EQ(pooled.out + pooled.err, "");
  EXPECT_EQ(run({"--check-pool-version", "--pool-dir", pool}, machine()).status, 0);

  // The deny holds while the command runs and goes with the run; the grant stays.
  const auto user = machine({{"WINSIM_ADMIN", "0"}});
  const Outcome ran =
      run({"--profile-name", "ignored", "--sandbox-sid-file", sid_file, "--network-mode",
           "common_dependencies", "--grant-rw", "C:\\work\\src", "--deny-access",
           "C:\\work\\secret", "--", "sh", "-c", "/bin/cat \"$WINSIM_STATE\"; exit 3"},
          user);
  EXPECT_EQ(ran.status, 3) << ran.err;
  EXPECT_EQ(ran.err, "");
  const std::string deny =
      "object\t" + (root / "c/work/secret") + "\tD:P(D;OICI;0x1201bf;;;" + sid + ")";
  EXPECT_NE(ran.out.find(deny), std::string::npos) << ran.out;
  EXPECT_FALSE(state_holds(deny));
  const std::string grant = "object\t" + (root / "c/work/src") + "\tD:(A;OICI;0x1301bf;;;" + sid;
  EXPECT_TRUE(state_holds(grant));
  std::string member;
  for (const auto& entry : std::filesystem::directory_iterator(root / "c/ProgramData/Tavo/pool")) {
    if (entry.path().extension() == ".dat") member = entry.path().filename().string();
  }
  EXPECT_EQ(run({"--profile-name", "x", "--sandbox-sid-file", pool + "\\" + member, "--", "sh",
                 "-c", "exit 4"},
                user)
                .status,
            4);

  // A cleanup through the SID file keeps the shared profile; one by name deletes it.
  EXPECT_EQ(run({"--cleanup", "--profile-name", "shared", "--sandbox-sid-file", sid_file,
                 "--revoke", "C:\\work\\src"},
                machine())
                .status,
            0);
  EXPECT_FALSE(state_holds(grant));
  EXPECT_TRUE(state_holds("profile\tshared\t"));
  EXPECT_EQ(run({"--cleanup", "--profile-name", "shared"}, machine()).status, 0);
  EXPECT_FALSE(state_holds("profile\tshared\t"));
}

}  // namespace
}  // namespace tavo::e2e
