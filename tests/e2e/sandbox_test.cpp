// Sandboxed runs, registrations and cleanup as a user meets them: natively on the simulated
// machine (its state kept in a file between invocations), and, where Wine has the calls, the
// Windows executable under Wine.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "e2e/runner.h"
#include "support/temp_dir.h"

namespace tavo::e2e {
namespace {

constexpr const char* kSid = "S-1-15-2-1-2-3-4-5-6-7";

class Sandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = unavailable()) GTEST_SKIP() << *reason;
    root.make_dir("c/work/src");
    root.make_dir("c/work/secret");
    root.make_dir("c/Users/u/AppData/Local");
    root.make_dir("c/Users/u/AppData/Roaming");
    root.make_dir("tools");
    root.write("sid", std::string(kSid) + "\n");
    root.write("tools/icacls", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> \"$ICACLS_LOG\"\nexit 0\n");
    std::filesystem::permissions(root / "tools/icacls", std::filesystem::perms::owner_all);
  }

  // The simulated machine: drive C: below the temporary directory, its state in a file.
  // Under an emulator only `more` applies: the machine there is the emulator's.
  EnvChanges machine(EnvChanges more = {}) const {
    if (emulated()) return more;
    EnvChanges env = {{"WINSIM_ROOT", root.path()},
                      {"WINSIM_STATE", root / "state"},
                      {"USERPROFILE", "C:\\Users\\u"},
                      {"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"},
                      {"APPDATA", "C:\\Users\\u\\AppData\\Roaming"},
                      {"ICACLS_LOG", root / "icacls.log"},
                      {"PATH", (root / "tools") + ";/usr/bin;/bin"}};
    env.insert(env.end(), more.begin(), more.end());
    return env;
  }
  std::string sid_file() const { return program_path(root / "sid"); }
  std::string state() const { return root.read("state"); }

  testing::TempDir root;
};

TEST_F(Sandbox, ARunGrantsDeniesForItsDurationAndReturnsTheCommandsStatus) {
  if (emulated()) GTEST_SKIP() << "needs the simulated machine's security model";
  Outcome o = run(
      {"--profile-name", "p", "--sandbox-sid-file", sid_file(), "--grant-rw", "C:\\work\\src",
       "--deny-access", "C:\\work\\secret", "--", "sh", "-c", "/bin/cat \"$WINSIM_STATE\"; exit 3"},
      machine());
  EXPECT_EQ(o.status, 3) << o.err;
  EXPECT_EQ(o.err, "");
  const std::string deny =
      "object\t" + (root / "c/work/secret") + "\tD:P(D;OICI;0x1201bf;;;" + kSid + ")";
  const std::string grant =
      "object\t" + (root / "c/work/src") + "\tD:(A;OICI;0x1301bf;;;" + kSid + ")";
  EXPECT_NE(o.out.find(deny), std::string::npos) << o.out;  // while the command ran
  EXPECT_EQ(state().find(deny), std::string::npos);         // after
  EXPECT_NE(state().find("object\t" + (root / "c/work/src")), std::string::npos);
  EXPECT_NE(state().find(grant), std::string::npos) << state();
}

TEST_F(Sandbox, ANetworkModeWithoutASidFileIsRefused) {
  Outcome o =
      run({"--profile-name", "p", "--network-mode", "default_allowed", "--", "x"}, machine());
  EXPECT_EQ(o.status, 13);
  EXPECT_EQ(o.err,
            "[ERROR tavo_sandbox] network mode DefaultAllowed requires --sandbox-sid-file (admin "
            "setup not run?)\n");
}

TEST_F(Sandbox, ASystemPathIsRefusedBeforeAnyChange) {
  Outcome o = run({"--profile-name", "p", "--sandbox-sid-file", sid_file(), "--grant-r",
                   "C:\\Windows\\System32", "--", "x"},
                  machine());
  EXPECT_EQ(o.status, 12);
  EXPECT_EQ(o.err,
            "[ERROR tavo_sandbox] refusing to modify ACL on system path: C:\\Windows\\System32\n");
}

TEST_F(Sandbox, AProfileThatCannotBeMadeEndsWith11) {
  // Wine has no AppContainer profiles; on the simulated machine a name it refuses does the same.
  Outcome o = run({"--profile-name", emulated() ? "p" : "not/allowed", "--", "x"}, machine());
  EXPECT_EQ(o.status, 11);
  EXPECT_TRUE(o.err.starts_with("[ERROR tavo_sandbox] ensure profile failed: ")) << o.err;
}

TEST_F(Sandbox, ALaunchFailureEndsWith14AfterTheRollback) {
  Outcome o = run(
      {"--profile-name", "p", "--sandbox-sid-file", sid_file(), "--", "no-such-program-anywhere"},
      machine());
  EXPECT_EQ(o.status, 14);
  EXPECT_TRUE(o.err.starts_with("[ERROR tavo_sandbox] spawn failed: ")) << o.err;
}

TEST_F(Sandbox, ARegisteredProfileServesUnprivilegedRunsAndCleanup) {
  if (emulated()) GTEST_SKIP() << "needs the simulated machine's security model";
  Outcome registered = run({"--register-sandbox-profile", "--profile-name", "shared",
                            "--sid-out-file", "C:\\ProgramData\\Tavo\\shared.sid"},
                           machine());
  ASSERT_EQ(registered.status, 0) << registered.err;
  EXPECT_EQ(registered.out,
            "tavo-sandbox: registered sandbox profile 'shared' (SID written to "
            "'C:\\ProgramData\\Tavo\\shared.sid')\n");
  const std::string sid = root.read("c/ProgramData/Tavo/shared.sid");
  ASSERT_TRUE(sid.starts_with("S-1-15-2-")) << sid;
  EXPECT_NE(state().find("profile\tshared\t" + sid.substr(0, sid.size() - 1)), std::string::npos);
  EXPECT_NE(state().find("loopback\t" + sid.substr(0, sid.size() - 1)), std::string::npos);

  Outcome ran = run({"--profile-name", "ignored", "--sandbox-sid-file",
                     "C:\\ProgramData\\Tavo\\shared.sid", "--network-mode", "common_dependencies",
                     "--grant-rw", "C:\\work\\src", "--", "sh", "-c", "exit 0"},
                    machine({{"WINSIM_ADMIN", "0"}}));
  EXPECT_EQ(ran.status, 0) << ran.err;

  Outcome kept = run({"--cleanup", "--profile-name", "shared", "--sandbox-sid-file",
                      "C:\\ProgramData\\Tavo\\shared.sid", "--revoke", "C:\\work\\src"},
                     machine({{"RUST_LOG", "info"}}));
  EXPECT_EQ(kept.status, 0) << kept.err;
  EXPECT_NE(kept.err.find("profile is shared across sessions (STABLE-SID)"), std::string::npos);
  EXPECT_NE(state().find("profile\tshared\t"), std::string::npos);

  Outcome deleted = run({"--cleanup", "--profile-name", "shared"}, machine());
  EXPECT_EQ(deleted.status, 0) << deleted.err;
  EXPECT_EQ(state().find("profile\tshared\t"), std::string::npos);
}

TEST_F(Sandbox, APoolRegistersItsMembersAndItsVersion) {
  if (emulated()) GTEST_SKIP() << "needs the simulated machine's security model";
  const std::string pool = "C:\\ProgramData\\Tavo\\pool";
  Outcome stale = run({"--check-pool-version", "--pool-dir", pool}, machine());
  EXPECT_EQ(stale.status, 16);
  Outcome registered = run(
      {"--register-pool", "--pool-size", "2", "--pool-dir", pool},
      machine(
          {{"RUST_LOG",
            "tavo_sandbox=info,tavo_sandbox::sandbox_profile=off,tavo_sandbox::path_grant=off"}}));
  ASSERT_EQ(registered.status, 0) << registered.err;
  EXPECT_EQ(registered.out, "");
  EXPECT_EQ(registered.err, "[INFO  tavo_sandbox] registered 2 pool SIDs in '" + pool + "'\n");
  EXPECT_EQ(run({"--check-pool-version", "--pool-dir", pool}, machine()).status, 0);

  std::vector<std::string> dats;
  for (const auto& entry : std::filesystem::directory_iterator(root / "c/ProgramData/Tavo/pool")) {
    if (entry.path().extension() == ".dat") dats.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(dats.size(), 2u);
  Outcome ran = run({"--profile-name", "x", "--sandbox-sid-file", pool + "\\" + dats[0], "--", "sh",
                     "-c", "exit 4"},
                    machine({{"WINSIM_ADMIN", "0"}}));
  EXPECT_EQ(ran.status, 4) << ran.err;
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

TEST_F(Sandbox, CleanupConfirmsWhatItCan) {
  Outcome shared =
      run({"--cleanup", "--profile-name", "p", "--sandbox-sid-file", sid_file()}, machine());
  EXPECT_EQ(shared.status, 0) << shared.err;
  EXPECT_EQ(shared.err, "");
  // Wine cannot derive a profile's SID; on the simulated machine a refused name does the same.
  Outcome unresolved = run({"--cleanup", "--profile-name", emulated() ? "p" : "not/allowed",
                            "--revoke", program_path(root / "c/work/src")},
                           machine());
  EXPECT_EQ(unresolved.status, 17);
  EXPECT_TRUE(unresolved.err.starts_with("[ERROR tavo_sandbox] cleanup: derive_sid failed: "))
      << unresolved.err;
}

}  // namespace
}  // namespace tavo::e2e
