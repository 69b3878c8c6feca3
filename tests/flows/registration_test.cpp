// The registration of a profile against winsim: what it prints and leaves on the machine, where
// it refuses to write, which failures only warn, and its retirement with --revoke-all.
#include <sys/stat.h>

#include <ranges>

#include "flows/admin_machine.h"
#include "run_mode.h"
#include "support/current_directory.h"

namespace tavo {
namespace {

class Registration : public AdminMachine {
 protected:
  void SetUp() override {
    root.make_dir("c/Users/ann/.ssh");
    root.make_dir("c/Users/ann/.cargo");
  }
  Outcome register_shared() const {
    return run({"--register-sandbox-profile", "--profile-name", "shared", "--sid-out-file",
                std::string(kSidFile)});
  }
  std::string sid_file_bytes() const { return root.read("c/ProgramData/Tavo/shared.sid"); }
};

// A caller who is no administrator cannot exempt the profile: status 13, one error line, no SID
// file (the fault sweep fails every other call). An administrator's success: one line on standard
// output; the SID file written last, with the folder it needed, as the administrators'; existing
// credential stores denied (a directory's deny reaches everything below it, a file's has no
// inheritance).
TEST_F(Registration, ASuccessWritesAnAdministratorOwnedSidFileLast) {
  {
    testing::ScopedEnv not_admin("WINSIM_ADMIN", "0");
    testing::LogCapture log(Level::Error);
    const Outcome refused = register_shared();
    EXPECT_EQ(refused.status, 13);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(log.text(),
              "[ERROR tavo_sandbox] register sandbox profile failed: NetworkIsolationSet"
              "AppContainerConfig returned Win32 error 5 (admin?) (0x00000000)\n");
    EXPECT_FALSE(root.exists("c/ProgramData/Tavo"));
  }
  root.write("c/Users/ann/.npmrc", "//registry/:_authToken=x\n");
  const Outcome outcome = register_shared();
  ASSERT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "tavo-sandbox: registered sandbox profile 'shared' (SID written to '" +
                             std::string(kSidFile) + "')\n");
  const std::string sid = profile_sid("shared");
  EXPECT_EQ(sid_file_bytes(), sid + "\n");
  EXPECT_EQ(winsim::loopback_list(), std::vector<std::string>{sid});
  // The file's own owner and DACL are set through its handle once it is open.
  EXPECT_EQ(changes_after("CreateFileW", "shared.sid"), std::vector<std::string>{});
  EXPECT_EQ(winsim::owner_sid("C:\\ProgramData\\Tavo"), kAdministrators);
  EXPECT_EQ(stored("C:\\ProgramData\\Tavo"), kAdminFolderSddl);
  EXPECT_EQ(winsim::owner_sid(kSidFile), kAdministrators);
  EXPECT_EQ(stored(kSidFile), kAdminFileSddl);
  const std::string deny = ";0x1f01ff;;;" + sid + ")";
  EXPECT_TRUE(stored("C:\\Users\\ann\\.ssh").starts_with("D:(D;OICI" + deny));
  EXPECT_TRUE(stored("C:\\Users\\ann\\.npmrc").starts_with("D:(D;" + deny));
  for (const char* traversed : {"C:\\Users\\ann", "C:\\Users\\ann\\AppData\\Local\\Packages"})
    EXPECT_EQ(stored(traversed), "D:(A;;0x1200a9;;;" + sid + ")") << traversed;
  EXPECT_EQ(testing::dacl_calls_by_name(), std::vector<std::string>{});
}

// A longer, older content goes entirely, the file gets the administrators' DACL back, and nothing
// else changes.
TEST_F(Registration, RegisteringAgainChangesNothingButRewritesTheSameSidFile) {
  testing::ScopedEnv persisted("WINSIM_STATE", root / "state");
  const Outcome first = register_shared();
  ASSERT_EQ(first.status, 0);
  const std::string first_bytes = sid_file_bytes();
  const std::string machine = root.read("state");
  root.write("c/ProgramData/Tavo/shared.sid", "S-1-15-2-1-2-3-4-5-6-7-8-9-10-11\r\n\r\n");
  winsim::set_stored_sddl(host(kSidFile), "D:P(A;;0x1f01ff;;;S-1-5-32-545)");
  const Outcome again = register_shared();
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, first.out);
  EXPECT_EQ(sid_file_bytes(), first_bytes);
  EXPECT_EQ(root.read("state"), machine);
}

// A SID file at a name a user controls: a link or a hard link there to a system file is replaced
// by the new file, and the system file keeps its bytes, owner and DACL; a folder others may
// change is warned about.
TEST_F(Registration, ALinkAtTheSidFilesNameIsReplacedNotWrittenThrough) {
  const std::string hosts = "C:\\Windows\\System32\\drivers\\etc\\hosts";
  const std::string out = "C:\\Users\\ann\\out";
  for (const bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard link" : "symbolic link");
    start_over();
    SetUp();
    root.write("c/Windows/System32/drivers/etc/hosts", "127.0.0.1 localhost\n");
    root.make_dir("c/Users/ann/out");
    winsim::set_owner(host(out), winsim::kUserSid);
    if (hard) {
      std::filesystem::create_hard_link(host(hosts), host(out + "\\s.sid"));
    } else {
      std::filesystem::create_symlink(host(hosts), host(out + "\\s.sid"));
    }
    testing::LogCapture log(Level::Warn);
    ASSERT_EQ(run({"--register-sandbox-profile", "--profile-name", "shared", "--sid-out-file",
                   out + "\\s.sid"})
                  .status,
              0);
    EXPECT_EQ(log.text(), "[WARN  tavo_sandbox::sandbox_profile] SID file folder " + out +
                              " can be changed by non-administrators\n");
    EXPECT_EQ(root.read("c/Windows/System32/drivers/etc/hosts"), "127.0.0.1 localhost\n");
    EXPECT_EQ(stored(hosts), "");
    EXPECT_EQ(winsim::owner_sid(hosts), winsim::owner_sid("C:\\Windows\\System32"));
    EXPECT_FALSE(std::filesystem::is_symlink(host(out + "\\s.sid")));
    EXPECT_EQ(root.read("c/Users/ann/out/s.sid"), profile_sid("shared") + "\n");
    EXPECT_EQ(stored(out + "\\s.sid"), kAdminFileSddl);
    EXPECT_EQ(names_in(out), std::vector<std::string>{"s.sid"});
  }
}

// The SID file's folder is held while the file is put in it: a folder that is a link is refused
// before anything is written, and one swapped for a link meanwhile cannot be.
TEST_F(Registration, TheSidFilesFolderIsNeitherALinkNorSwappedForOne) {
  const std::string out = "C:\\Users\\ann\\out";
  const std::vector<std::string> args = {"--register-sandbox-profile", "--profile-name", "shared",
                                         "--sid-out-file", out + "\\s.sid"};
  std::filesystem::create_directory_symlink(host("C:\\Windows"), host(out));
  {
    testing::LogCapture log(Level::Error);
    EXPECT_EQ(run(args).status, 13);
    EXPECT_EQ(log.text(), "[ERROR tavo_sandbox] register sandbox profile failed: create(" + out +
                              "\\s.sid): folder " + out + " is a link (0x00000000)\n");
  }
  EXPECT_EQ(names_in("C:\\Windows"), std::vector<std::string>{"System32"});
  std::filesystem::remove(host(out));
  root.make_dir("c/Users/ann/out");
  winsim::replace_with_link_after("CreateFileW", ".s.sid.", out, "C:\\Windows");
  ASSERT_EQ(run(args).status, 0);
  EXPECT_EQ(winsim::count_calls("replace_with_link", out), 1u);
  EXPECT_FALSE(std::filesystem::is_symlink(host(out)));
  EXPECT_EQ(root.read("c/Users/ann/out/s.sid"), profile_sid("shared") + "\n");
  EXPECT_EQ(names_in("C:\\Windows"), std::vector<std::string>{"System32"});
}

// Elevated, a search by bare name would run an icacls that a user left in the folder the
// registration is started from: the system folder's own is run by its full path.
TEST_F(Registration, IcaclsIsTheSystemFoldersEvenWithOneInTheCurrentFolder) {
  root.write("planted/icacls", "#!/bin/sh\ntouch \"$0.ran\"\n");
  ASSERT_EQ(::chmod((root / "planted/icacls").c_str(), 0755), 0);
  {
    testing::CurrentDirectory planted(root / "planted");
    ASSERT_EQ(register_shared().status, 0);
  }
  EXPECT_FALSE(root.exists("planted/icacls.ran"));
  EXPECT_EQ(icacls.targets(), std::vector<std::string>{"C:\\Tools"});
  EXPECT_EQ(winsim::count_calls("CreateProcessW", "C:\\Windows\\System32\\icacls.exe C:\\Tools"),
            1u);
}

// The user steps go where the profile variables point: nowhere when they are unset or empty (an
// empty one would put the package directory and traversal grants at the root of whatever drive is
// current), and not into a system location, each path skipped there named.
TEST_F(Registration, UserStepsTouchNothingForUnsetEmptyOrSystemVariables) {
  std::string refused;
  for (const char* path : {"System32\\.ssh", "gnupg", "System32", "Temp\\Packages"}) {
    refused +=
        "[WARN  tavo_sandbox::sandbox_profile] refusing to modify ACL on system path: "
        "C:\\Windows\\" +
        std::string(path) + "\n";
  }
  struct Case {
    std::optional<std::string> home, local, roaming;
    std::string warnings;
  };
  const Case cases[] = {{std::nullopt, std::nullopt, std::nullopt, ""},
                        {"", "", "", ""},
                        {"C:\\Windows\\System32", "C:\\Windows\\Temp", "C:\\Windows", refused}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.roaming.value_or("unset"));
    start_over();
    SetUp();
    for (const char* d : {"c/Windows/System32/.ssh", "c/Windows/gnupg", "c/Windows/Temp"})
      root.make_dir(d);
    testing::ScopedEnv home_now("USERPROFILE", c.home);
    testing::ScopedEnv local_now("LOCALAPPDATA", c.local);
    testing::ScopedEnv roaming_now("APPDATA", c.roaming);
    testing::LogCapture log(Level::Warn);
    ASSERT_EQ(register_shared().status, 0);
    EXPECT_EQ(log.text(), c.warnings);
    EXPECT_TRUE(stored("C:\\").starts_with("D:(A;;0x1200a9;;;" + profile_sid("shared") + ")"));
    for (const char* untouched :
         {"C:\\Users\\ann", "C:\\Users\\ann\\.ssh", "C:\\Users\\ann\\.cargo", "C:\\Windows",
          "C:\\Windows\\System32", "C:\\Windows\\System32\\.ssh", "C:\\Windows\\gnupg",
          "C:\\Windows\\Temp"})
      EXPECT_EQ(stored(untouched), "") << untouched;
    EXPECT_EQ(winsim::count_calls("CreateDirectoryW", "Packages"), 0u);
  }
}

// A folder the registration has to make is made only where the folders on the way lead, and not
// there when a link turns one of them into a system location: no package directory in C:\Windows
// for a LOCALAPPDATA that leads there, no folder for a SID file below a link to it.
TEST_F(Registration, NoFolderIsMadeWhereALinkOnTheWayLeadsIntoTheSystem) {
  std::filesystem::remove_all(host("C:\\Users\\ann\\AppData\\Local"));
  std::filesystem::create_directory_symlink(host("C:\\Windows"),
                                            host("C:\\Users\\ann\\AppData\\Local"));
  {
    testing::LogCapture log(Level::Warn);
    ASSERT_EQ(register_shared().status, 0);
    EXPECT_NE(log.text().find("refusing to modify ACL on system path: "
                              "C:\\Users\\ann\\AppData\\Local\\Packages\\shared\n"),
              std::string::npos)
        << log.text();
  }
  EXPECT_EQ(names_in("C:\\Windows"), std::vector<std::string>{"System32"});
  EXPECT_EQ(stored("C:\\Windows"), "");
  EXPECT_EQ(sid_file_bytes(), profile_sid("shared") + "\n");

  const std::string out = "C:\\Users\\ann\\out\\new\\s.sid";
  std::filesystem::create_directory_symlink(host("C:\\Windows"), host("C:\\Users\\ann\\out"));
  testing::LogCapture log(Level::Error);
  EXPECT_EQ(
      run({"--register-sandbox-profile", "--profile-name", "shared", "--sid-out-file", out}).status,
      13);
  EXPECT_EQ(log.text(),
            "[ERROR tavo_sandbox] register sandbox profile failed: create(" + out +
                "): folder C:\\Users\\ann\\out leads to \\\\?\\C:\\Windows (0x00000000)\n");
  EXPECT_EQ(names_in("C:\\Windows"), std::vector<std::string>{"System32"});
}

// The uninstall of a shared profile: registered, used by a run from its SID file, then retired
// with --revoke-all. No object keeps an entry of the SID (the registration's credential deny,
// traversal and NUL device entries, the package directory, the PATH folders icacls granted and
// the files below them, the run's grant), each icacls grant is removed by icacls as it was placed,
// the SID leaves the loopback list and its file goes, and the profile stays for whoever shares it.
// The machine is kept in a file, so that the stand-in icacls changes it as the real one would.
TEST_F(Registration, RevokeAllRetiresASharedSidEverywhereTheProgramPutIt) {
  testing::ScopedEnv persisted("WINSIM_STATE", root / "state");
  root.make_dir("c/Users/ann/.ssh");
  root.write("c/Tools/tool.exe", "x");
  root.make_dir("c/work/proj");
  const std::string sid_file = std::string(kSidFile);
  ASSERT_EQ(
      run({"--register-sandbox-profile", "--profile-name", "shared", "--sid-out-file", sid_file})
          .status,
      0);
  const std::string sid = profile_sid("shared");
  tavo::Run used;
  used.profile_name = "ignored";
  used.sandbox_sid_file = sid_file;
  used.grant_r = {"C:\\work\\proj"};
  used.command = "/bin/sh";
  used.args = {"-c", "exit 0"};
  ASSERT_EQ(run_sandboxed(used), 0);
  const auto holders = [&] {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root.path())) {
      if (winsim::stored_sddl(entry.path().string()).find(sid) != std::string::npos)
        found.push_back(entry.path().string().substr(root.path().size()));
    }
    if (winsim::dacl_sddl("NUL").find(sid) != std::string::npos) found.push_back("NUL");
    return found;
  };
  ASSERT_GE(holders().size(), 5u);
  const std::vector<std::string> granted_by_icacls = icacls.targets();
  ASSERT_FALSE(granted_by_icacls.empty());
  for (const std::string& target : granted_by_icacls)
    ASSERT_NE(winsim::stored_sddl(target).find("(A;OICI;0x1200a9;;;" + sid + ")"),
              std::string::npos)
        << target;
  ASSERT_NE(winsim::stored_sddl("C:\\Tools\\tool.exe").find(sid), std::string::npos);
  icacls.forget_runs();

  testing::LogCapture log(Level::Warn);
  EXPECT_EQ(
      run({"--cleanup", "--profile-name", "shared", "--sandbox-sid-file", sid_file, "--revoke-all"})
          .status,
      0);
  EXPECT_EQ(log.text(), "");
  EXPECT_EQ(holders(), std::vector<std::string>{});
  // Last placed first.
  std::vector<std::vector<std::string>> removals;
  for (const std::string& target : std::views::reverse(granted_by_icacls))
    removals.push_back(
        testing::icacls_args(target, {}, {"/remove:g", "*" + sid, "/T", "/C", "/Q", "/L"}));
  EXPECT_EQ(icacls.runs(), removals);
  EXPECT_FALSE(root.exists("c/ProgramData/Tavo/shared.sid"));
  EXPECT_EQ(winsim::loopback_list(), std::vector<std::string>{});
  EXPECT_EQ(profile_sid("shared"), sid);
  EXPECT_EQ(run({"--list-entries", "--profile-name", "shared"}).out, "");
}

// The same two failures, a refused credential store and the NUL device, cost the two
// registrations differently: a profile warns about both and is registered.
TEST_F(Registration, ARefusedStoreOrNulDeviceOnlyWarns) {
  winsim::fail_every_call("SetSecurityInfo", ".ssh", ERROR_ACCESS_DENIED);
  winsim::fail_every_call("SetSecurityInfo", "NUL", ERROR_ACCESS_DENIED);
  testing::LogCapture log(Level::Info);
  EXPECT_EQ(register_shared().status, 0);
  const std::string_view profile = "[WARN  tavo_sandbox::sandbox_profile] ";
  EXPECT_EQ(log.count(std::string(profile) + "DENY ACE on C:\\Users\\ann\\.ssh failed: "), 1u)
      << log.text();
  EXPECT_EQ(log.count(std::string(profile) + "NUL device grant failed (non-fatal): "), 1u)
      << log.text();
  EXPECT_EQ(sid_file_bytes(), profile_sid("shared") + "\n");
}

}  // namespace
}  // namespace tavo
