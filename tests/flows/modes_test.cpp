// The modes other than the run against winsim: the registrations of a profile and of a pool (what
// they print and leave on the machine, which failures end them and which only warn, their progress
// on a console), the loopback exemption and the profile functions they use, the probe, cleanup,
// and each platform call of the administrative modes failed alone.
//
// The machine: drive C: with a user's profile folders and C:\ProgramData, the profile variables,
// a stand-in icacls in C:\Windows\System32 that records its runs and succeeds, and a PATH of
// C:\Tools and of a host directory that admits every AppContainer already, as the system's own
// directories do, so the PATH scan leaves it alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <ranges>
#include <sstream>

#include "acl/acl.h"
#include "cleanup.h"
#include "entry.h"
#include "flows/drives.h"
#include "flows/host_processes.h"
#include "flows/icacls_stand_in.h"
#include "run_mode.h"
#include "sandbox_profile/exempt_list.h"
#include "sandbox_profile/loopback.h"
#include "sandbox_profile/pool.h"
#include "sandbox_profile/profiles.h"
#include "sandbox_profile/registration.h"
#include "support/current_directory.h"
#include "support/env.h"
#include "support/faults.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/error.h"
#include "win/wide.h"

namespace tavo {
namespace {

constexpr std::string_view kAdministrators = "S-1-5-32-544";
// What the registrations' own folders and files store: SYSTEM and Administrators full control,
// Users read (and execute, for folders), nothing inherited.
constexpr std::string_view kAdminFolderSddl =
    "D:P(A;OICI;0x1f01ff;;;S-1-5-18)(A;OICI;0x1f01ff;;;S-1-5-32-544)(A;OICI;0x1200a9;;;S-1-5-32-"
    "545)";
constexpr std::string_view kAdminFileSddl =
    "D:P(A;;0x1f01ff;;;S-1-5-18)(A;;0x1f01ff;;;S-1-5-32-544)(A;;0x120089;;;S-1-5-32-545)";
constexpr std::string_view kSidFile = "C:\\ProgramData\\Tavo\\shared.sid";
const std::string kPoolDir = "C:\\ProgramData\\Tavo\\pool";
const std::string kOtherSoftware = "S-1-15-2-9-8-7-6-5-4-3";
const std::vector<std::string> kRevoked = {"C:\\work\\a", "C:\\work\\b", "C:\\work\\long name"};

class AdminMachine : public testing::MachineTest {
 protected:
  AdminMachine() {
    root.make_dir("bin");
    start_over();
  }
  ~AdminMachine() override { winsim::end_processes(); }

  // A fresh machine in the middle of a test, with drive C: as the fixture makes it (host files
  // outlive fresh_machine()).
  void start_over() const {
    fresh_machine();
    winsim::set_stored_sddl(root / "bin", "D:(A;OICI;0x1200a9;;;S-1-15-2-1)");
    std::filesystem::remove_all(root / "c");
    icacls.forget_runs();
    for (const char* dir : {"c/Windows", "c/Tools", "c/ProgramData",
                            "c/Users/ann/AppData/Local/Packages", "c/Users/ann/AppData/Roaming"})
      root.make_dir(dir);
    icacls.install(host("C:\\Windows\\System32"));
  }

  // The program as a user starts it: its status and what it wrote to standard output.
  struct Outcome {
    int status;
    std::string out;
  };
  Outcome run(std::vector<std::string> args) const {
    args.insert(args.begin(), "tavo-sandbox");
    int status;
    {
      testing::RedirectedDescriptor out(1, root / "stdout", O_WRONLY | O_CREAT | O_TRUNC);
      status = run_program(args);
    }
    return {status, root.read("stdout")};
  }

  // The host path of a Windows path on drive C:, and what the machine stores for it.
  std::string host(std::string_view windows_path) const {
    return testing::host_path(root, windows_path);
  }
  std::string stored(std::string_view windows_path) const {
    return winsim::stored_sddl(host(windows_path));
  }
  // The SID of the profile `name` in string form, "" when there is no such profile.
  static std::string profile_sid(std::string_view name) {
    const std::string prefix = std::string(name) + "=";
    for (const std::string& line : winsim::profiles()) {
      if (line.starts_with(prefix)) return line.substr(prefix.size());
    }
    return "";
  }
  // The names in a directory on drive C:, sorted; empty when it does not exist.
  std::vector<std::string> names_in(std::string_view windows_dir) const {
    std::vector<std::string> names;
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator(host(windows_dir), missing))
      names.push_back(testing::utf8(entry.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
  }
  // The changes made after the first call of `function` on an object whose name holds `key`, to
  // other objects ("function key" each): none when that call made the last change.
  static std::vector<std::string> changes_after(std::string_view function, std::string_view key) {
    const auto& calls = winsim::trace();
    auto call = std::find_if(calls.begin(), calls.end(), [&](const winsim::Call& c) {
      return c.function == function && c.key.find(key) != std::string::npos;
    });
    EXPECT_NE(call, calls.end()) << function << " " << key;
    std::vector<std::string> changes;
    for (; call != calls.end(); ++call) {
      for (std::string_view change :
           {"NetworkIsolationSetAppContainerConfig", "SetSecurityInfo", "SetKernelObjectSecurity",
            "CreateProcessW", "CreateDirectoryW"}) {
        if (call->function == change && call->key.find(key) == std::string::npos)
          changes.push_back(call->function + " " + call->key);
      }
    }
    return changes;
  }

  // The profile build-1 with read-write grants on kRevoked, its SID in C:\ProgramData\shared.sid.
  std::string arrange_cleanup() const {
    auto made = ensure_profile("build-1");
    EXPECT_TRUE(made);
    for (const std::string& path : kRevoked) {
      root.make_dir("c/work/" + path.substr(8));
      EXPECT_TRUE(grant_access(made->get(), path, AccessLevel::ReadWrite, DaclEditLock().hold()));
    }
    root.write("c/ProgramData/shared.sid", profile_sid("build-1") + "\n");
    return profile_sid("build-1");
  }

  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
  testing::ScopedEnv state{"WINSIM_STATE", std::nullopt};
  testing::ScopedEnv admin_variable{"WINSIM_ADMIN", std::nullopt};
  testing::ScopedEnv system_drive{"SystemDrive", std::nullopt};
  testing::ScopedEnv home{"USERPROFILE", "C:\\Users\\ann"};
  testing::ScopedEnv local{"LOCALAPPDATA", "C:\\Users\\ann\\AppData\\Local"};
  testing::ScopedEnv roaming{"APPDATA", "C:\\Users\\ann\\AppData\\Roaming"};
  testing::ScopedEnv program_data{"PROGRAMDATA", "C:\\ProgramData"};
  testing::ScopedEnv path_variable{"PATH", "C:\\Tools;" + (root / "bin")};
  testing::IcaclsStandIn icacls;
};

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
TEST_F(Registration, ASuccessPrintsOneLineAndWritesTheSidFileLast) {
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
TEST_F(Registration, TheUserStepsStayOutOfTheSystemAndAwayFromEmptyVariables) {
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

class Pool : public AdminMachine {
 protected:
  // The pool directory's files and their contents.
  std::map<std::string, std::string> pool_files() const {
    std::map<std::string, std::string> files;
    for (const std::string& name : names_in(kPoolDir))
      files[name] = root.read("c/ProgramData/Tavo/pool/" + name);
    return files;
  }
  // The files of a complete registration of `size` members, beside `others`.
  static std::map<std::string, std::string> complete_pool(
      int size, std::map<std::string, std::string> others = {}) {
    others[".registration-version"] = "1\n";
    for (int i = 0; i < size; ++i) {
      const std::string sid = profile_sid("tavo-sandbox-pool-" + std::to_string(i));
      others[sid + ".dat"] = sid + "\n";
    }
    return others;
  }
};

// Every member exempt after other software, each with its own package directory; the SID files
// once every member is exempt, the marker after every other change; everything made the
// administrators'.
TEST_F(Pool, APoolOfThreeIsExemptOwnedByTheAdministratorsAndMarkedLast) {
  winsim::set_loopback_list({{kOtherSoftware, 1}});
  testing::LogCapture log(Level::Info);
  const Outcome outcome = run({"--register-pool", "--pool-size", "3", "--pool-dir", kPoolDir});
  ASSERT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(log.lines().back(),
            "[INFO  tavo_sandbox] registered 3 pool SIDs in '" + kPoolDir + "'\n");
  EXPECT_EQ(pool_files(), complete_pool(3));
  std::vector<std::string> exempt = {kOtherSoftware};
  for (int i = 0; i < 3; ++i) {
    const std::string member = "tavo-sandbox-pool-" + std::to_string(i);
    exempt.push_back(profile_sid(member));
    EXPECT_EQ(stored("C:\\Users\\ann\\AppData\\Local\\Packages\\" + member),
              "D:(A;OICI;0x1301bf;;;" + exempt.back() + ")");
  }
  EXPECT_EQ(winsim::loopback_list(), exempt);
  for (const std::string& change : changes_after("CreateFileW", ".dat"))
    EXPECT_FALSE(change.starts_with("NetworkIsolation")) << change;
  EXPECT_EQ(changes_after("CreateFileW", ".registration-version"), std::vector<std::string>{});
  for (const std::string& folder : {std::string("C:\\ProgramData\\Tavo"), kPoolDir}) {
    EXPECT_EQ(winsim::owner_sid(folder), kAdministrators) << folder;
    EXPECT_EQ(stored(folder), kAdminFolderSddl) << folder;
  }
  for (const auto& [name, content] : pool_files()) {
    EXPECT_EQ(winsim::owner_sid(kPoolDir + "\\" + name), kAdministrators) << name;
    EXPECT_EQ(stored(kPoolDir + "\\" + name), kAdminFileSddl) << name;
  }
}

// Folders someone else owns or may change, a link in the pool directory's place, or a file
// there: the registration changes nothing and says which folder to remove. The folders are found
// on what the pool directory resolves to, however it is spelt.
TEST_F(Pool, AFolderOthersControlIsRefusedBeforeAnythingChanges) {
  const std::string user_pool = "C:\\ProgramData\\pool";
  const std::string remove = ": remove it and register again";
  const auto make_dir = [](const std::string& dir, const char* admin) {
    testing::ScopedEnv who("WINSIM_ADMIN", admin);
    ASSERT_TRUE(CreateDirectoryW(to_wide_nul(dir).c_str(), nullptr)) << dir;
  };
  const auto admin_tavo = [&] {
    root.make_dir("c/ProgramData/Tavo");
    winsim::set_owner(host("C:\\ProgramData\\Tavo"), kAdministrators);
    winsim::set_stored_sddl(host("C:\\ProgramData\\Tavo"), kAdminFolderSddl);
  };
  const std::string users_tavo =
      "folder C:\\ProgramData\\Tavo above the pool directory is not owned by "
      "Administrators (owner " +
      std::string(winsim::kUserSid) + ")" + remove;
  struct Case {
    std::string pool_dir;
    std::function<void()> arrange;
    std::string refusal;
  };
  const Case cases[] = {
      // Users may make folders in ProgramData, and own what they make.
      {user_pool, [&] { make_dir(user_pool, "0"); },
       "pool directory " + user_pool + " is not owned by Administrators (owner " +
           std::string(winsim::kUserSid) + ")" + remove},
      // Made by an administrator, but with what ProgramData passes on, which lets Users add
      // files and folders: whoever does can swap the pool directory for their own.
      {kPoolDir, [&] { make_dir("C:\\ProgramData\\Tavo", "1"); },
       "folder C:\\ProgramData\\Tavo above the pool directory lets S-1-5-32-545 change it or "
       "its entries (rights 0x6)" +
           remove},
      {kPoolDir,
       [&] {
         admin_tavo();
         std::filesystem::create_directory_symlink(host("C:\\Windows"), host(kPoolDir));
       },
       "pool directory " + kPoolDir + " is a link" + remove},
      {kPoolDir,
       [&] {
         admin_tavo();
         root.write("c/ProgramData/Tavo/pool", "");
       },
       "pool directory " + kPoolDir + " is not a directory"},
      {"\\\\?\\" + kPoolDir, [&] { make_dir("C:\\ProgramData\\Tavo", "0"); }, users_tavo},
      {"\\\\.\\" + kPoolDir, [&] { make_dir("C:\\ProgramData\\Tavo", "0"); }, users_tavo},
      {"//?/C:/ProgramData/Tavo/pool", [&] { make_dir("C:\\ProgramData\\Tavo", "0"); }, users_tavo},
      // A link on the way into the system: nothing is made there.
      {"C:\\Users\\ann\\link\\Tavo\\pool",
       [&] {
         root.make_dir("c/Users/ann");
         std::filesystem::create_directory_symlink(host("C:\\Windows"),
                                                   host("C:\\Users\\ann\\link"));
       },
       "create_dir_all(C:\\Users\\ann\\link\\Tavo\\pool): folder \\\\?\\C:\\Windows leads to "
       "\\\\?\\C:\\Windows"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pool_dir + ": " + c.refusal);
    start_over();
    c.arrange();
    root.write("c/Windows/old.dat", "");
    testing::LogCapture log(Level::Error);
    EXPECT_EQ(run({"--register-pool", "--pool-size", "2", "--pool-dir", c.pool_dir}).status, 13);
    EXPECT_EQ(log.text(),
              "[ERROR tavo_sandbox] register pool failed: " + c.refusal + " (0x00000000)\n");
    EXPECT_TRUE(winsim::profiles().empty() && winsim::loopback_list().empty());
    EXPECT_EQ(winsim::count_calls("SetSecurityInfo") + winsim::count_calls("CreateFileW", ".dat"),
              0u);
    EXPECT_TRUE(root.exists("c/Windows/old.dat"));
  }
}

// Registering again, here as a pool of one: only the pool's own SID files go, each removed through
// a handle that does not follow a link; what is not a plain file (a link, also one that leads
// nowhere) is left and warned about.
TEST_F(Pool, RegisteringAgainRemovesOldSidFilesAndKeepsEverythingElse) {
  ASSERT_TRUE(register_pool(1, kPoolDir));
  const std::map<std::string, std::string> others = {
      {"notes.txt", "keep me\n"}, {"a.DAT", "not ours\n"}, {".dat", "no name\n"}};
  for (const auto& [name, content] : others)
    root.write("c/ProgramData/Tavo/pool/" + name, content);
  root.write("c/ProgramData/Tavo/pool/old.dat", "S-1-15-2-1-1-1-1-1-1-1\n");
  root.write("c/ProgramData/Tavo/pool/x.tar.dat", "");
  root.make_dir("c/ProgramData/Tavo/pool/cache.dat");
  root.write("c/Windows/system.dat", "the system's\n");
  std::filesystem::create_symlink(host("C:\\Windows\\system.dat"),
                                  host(kPoolDir + "\\planted.dat"));
  std::filesystem::create_symlink(host("C:\\Windows\\gone.dat"), host(kPoolDir + "\\dangling.dat"));
  root.write("c/ProgramData/Tavo/pool/locked.dat", "S-1-15-2-1-1-1-1-1-1-2\n");
  winsim::fail_next_call("CreateFileW", "locked.dat", ERROR_SHARING_VIOLATION);
  testing::LogCapture log(Level::Warn);
  ASSERT_TRUE(register_pool(1, kPoolDir));
  const std::string failed =
      "[WARN  tavo_sandbox::pool_version] clear_pool_dats: failed to remove ";
  EXPECT_EQ(log.text(),
            failed + kPoolDir + "\\cache.dat: a directory, left alone\n" + failed + kPoolDir +
                "\\dangling.dat: a link, left alone\n" + failed + kPoolDir +
                "\\locked.dat: " + IoError::from_win32(ERROR_SHARING_VIOLATION).display() + "\n" +
                failed + kPoolDir + "\\planted.dat: a link, left alone\n");
  auto expected = complete_pool(1, others);
  expected["locked.dat"] = "S-1-15-2-1-1-1-1-1-1-2\n";
  expected["cache.dat"] = "";
  expected["planted.dat"] = "the system's\n";
  expected["dangling.dat"] = "";
  EXPECT_EQ(pool_files(), expected);
  EXPECT_EQ(winsim::loopback_list(), std::vector{profile_sid("tavo-sandbox-pool-0")});
}

TEST_F(Pool, TheSizeIsCheckedBeforeAnythingIsCreated) {
  for (std::uint32_t size : {0u, 11u}) {
    EXPECT_EQ(register_pool(size, kPoolDir).error(),
              HresultError(0, "pool_size must be 1..=10, got " + std::to_string(size)));
  }
  EXPECT_EQ(winsim::faultable_calls(), 0u);
}

// The lines of `log` that start with `start`.
std::vector<std::string> lines_starting(const testing::LogCapture& log, std::string_view start) {
  std::vector<std::string> found;
  for (const std::string& line : log.lines()) {
    if (line.starts_with(start)) found.push_back(line);
  }
  return found;
}

// The same two failures, a refused credential store and the NUL device, cost the two
// registrations differently: a profile warns about both and is registered.
TEST_F(Registration, ARefusedStoreAndTheNulDeviceAreWarningsForAProfile) {
  winsim::fail_every_call("SetSecurityInfo", ".ssh", ERROR_ACCESS_DENIED);
  winsim::fail_every_call("SetSecurityInfo", "NUL", ERROR_ACCESS_DENIED);
  testing::LogCapture log(Level::Info);
  EXPECT_EQ(register_shared().status, 0);
  const std::string_view profile = "[WARN  tavo_sandbox::sandbox_profile] ";
  EXPECT_EQ(lines_starting(log, std::string(profile) + "DENY ACE on C:\\Users\\ann\\.ssh failed: ")
                .size(),
            1u)
      << log.text();
  EXPECT_EQ(
      lines_starting(log, std::string(profile) + "NUL device grant failed (non-fatal): ").size(),
      1u)
      << log.text();
  EXPECT_EQ(sid_file_bytes(), profile_sid("shared") + "\n");
}

// A pool only notes the refused store, at its first member, and ends at that member's NUL
// device, before its SID file.
TEST_F(Pool, ARefusedStoreIsNotedAndTheNulDeviceEndsThePool) {
  root.make_dir("c/Users/ann/.ssh");
  winsim::fail_every_call("SetSecurityInfo", ".ssh", ERROR_ACCESS_DENIED);
  winsim::fail_every_call("SetSecurityInfo", "NUL", ERROR_ACCESS_DENIED);
  testing::LogCapture log(Level::Info);
  const auto registered = register_pool(2, kPoolDir);
  ASSERT_FALSE(registered);
  EXPECT_TRUE(
      registered.error().display().starts_with("[1/2] NUL device grant failed (critical): "))
      << registered.error().display();
  EXPECT_EQ(lines_starting(log,
                           "[INFO  tavo_sandbox::sandbox_profile] [1/2] DENY on "
                           "C:\\Users\\ann\\.ssh failed: ")
                .size(),
            1u)
      << log.text();
  EXPECT_EQ(lines_starting(log, "[WARN ").size(), 0u) << log.text();
  EXPECT_EQ(pool_files(), (std::map<std::string, std::string>{}));
}

// A pseudo-terminal standing in for a console: winsim takes a terminal for one, and what the
// program writes to it is read back from the other side.
struct PseudoConsole {
  PseudoConsole() {
    EXPECT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    device = ::ptsname(master);
  }
  ~PseudoConsole() { ::close(master); }
  // Everything written to the terminal side, once nothing holds it open any more (a read of the
  // master fails then, after the data written before).
  std::string written() const {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<std::size_t>(n));
    return text;
  }

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  std::string device;  // the terminal side, to open as a standard descriptor
};

class Progress : public AdminMachine {
 protected:
  // Both registrations, with standard error on `device`.
  void register_both(const std::string& device, int flags) {
    start_over();
    root.make_dir("c/Users/ann/.cargo");
    root.make_dir("c/Tools/a-longer-one");
    testing::RedirectedDescriptor err(2, device, flags);
    EXPECT_EQ(run({"--register-sandbox-profile", "--profile-name", "shared", "--sid-out-file",
                   "C:\\ProgramData\\shared.sid"})
                  .status,
              0);
    EXPECT_EQ(
        run({"--register-pool", "--pool-size", "2", "--pool-dir", "C:\\ProgramData\\pool"}).status,
        0);
  }

  testing::ScopedEnv rust_log{"RUST_LOG", std::nullopt};
  // A shorter line after a longer one must not leave the longer one's end behind.
  testing::ScopedEnv longer_first{"PATH", "C:\\Tools\\a-longer-one;C:\\Tools;" + (root / "bin")};
};

// What one row of a screen holds after the text, and the lines it showed one after the other (each
// without the spaces that cover a longer one): a carriage return goes back to the row's start.
std::string row_after(const std::string& text, std::vector<std::string>& shown) {
  std::string row;
  std::size_t column = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line, '\r');) {
    for (char c : line) {
      if (column == row.size()) row.push_back(c);
      row[column++] = c;
    }
    column = 0;
    line.erase(line.find_last_not_of(' ') + 1);
    if (!line.empty()) shown.push_back(line);
  }
  return row;
}

// One line per long step on a console, written over in place and cleared at the end; nothing of
// it where standard error is redirected or RUST_LOG asks for log lines.
TEST_F(Progress, ShowsEachLongStepOnAConsoleOnly) {
  PseudoConsole console;
  register_both(console.device, O_WRONLY | O_NOCTTY);
  const std::string written = console.written();
  std::vector<std::string> shown;
  const std::string row = row_after(written, shown);
  EXPECT_EQ(shown, (std::vector<std::string>{
                       "[1/2] icacls C:\\Tools\\a-longer-one",
                       "[2/2] icacls C:\\Tools",
                       "[1/2] tavo-sandbox-pool-0: profile",
                       "[2/2] tavo-sandbox-pool-1: profile",
                       "[1/2] tavo-sandbox-pool-0: credential denies, NUL device, SID file",
                       "[2/2] tavo-sandbox-pool-1: credential denies, NUL device, SID file",
                       "[1/2] tavo-sandbox-pool-0: traversal and package directory grants",
                       "[2/2] tavo-sandbox-pool-1: traversal and package directory grants",
                       "[1/2] icacls C:\\Tools\\a-longer-one",
                       "[2/2] icacls C:\\Tools",
                       "[1/1] icacls C:\\Users\\ann\\.cargo",
                   }));
  EXPECT_EQ(written.find('\n'), std::string::npos);
  EXPECT_EQ(row.find_first_not_of(' '), std::string::npos) << row;

  register_both(root / "err", O_WRONLY | O_CREAT | O_TRUNC);
  EXPECT_EQ(root.read("err"), "");
  // Log lines asked for are not broken up by progress.
  testing::ScopedEnv log_filter("RUST_LOG", "off");
  PseudoConsole logged;
  register_both(logged.device, O_WRONLY | O_NOCTTY);
  EXPECT_EQ(logged.written(), "");
}

using Entries = std::vector<std::pair<std::string, DWORD>>;
const std::string kOurs = "S-1-15-2-11-22-33-44-55-66-77";
const std::string kOtherA = "S-1-15-2-1000-2000-3000-4000-5000-6000-7000";

class Loopback : public AdminMachine {
 protected:
  void SetUp() override { forget_network_isolation_functions(); }
  void TearDown() override { forget_profile_functions(); }
  // The failure's own message, without its code; "" for a success.
  std::string exempt_ours() const {
    const auto exempt = exempt_loopback(ours.get());
    const std::string text = exempt ? "" : exempt.error().display();
    return text.substr(0, text.rfind(" ("));
  }

  SandboxSid ours = testing::make_sid(kOurs);
};

// Our entry goes after other software's, once, and is looked for after the write: a write that
// another writer undid is made once more, and a second loss is a failure.
TEST_F(Loopback, OurEntryIsAddedOnceAfterOtherSoftwaresAndCheckedAfterTheWrite) {
  // From the list `before`, with `lost` writes undone by another writer and the next call of
  // `failing` failing: the list after, the failure's message and the number of writes.
  auto expect = [&](const char* what, const Entries& before, std::size_t lost, const char* failing,
                    const Entries& after, const std::string& message, std::size_t writes) {
    SCOPED_TRACE(what);
    fresh_machine();
    winsim::set_loopback_list(before);
    winsim::lose_loopback_writes(lost);
    if (*failing) winsim::fail_next_call(failing, "", ERROR_ACCESS_DENIED);
    EXPECT_EQ(exempt_ours(), message);
    EXPECT_EQ(winsim::loopback_entries(), after);
    EXPECT_EQ(winsim::count_calls("NetworkIsolationSetAppContainerConfig"), writes);
  };
  expect("already exempt", {{kOtherA, 1}, {kOurs, 7}}, 0, "", {{kOtherA, 1}, {kOurs, 7}}, "", 0);
  expect("other software's entries", {{kOtherSoftware, 0x80000000}, {kOtherA, 1}}, 0, "",
         {{kOtherSoftware, 0x80000000}, {kOtherA, 1}, {kOurs, 0}}, "", 1);
  expect("a write lost once", {{kOtherA, 1}}, 1, "", {{kOtherA, 1}, {kOurs, 0}}, "", 2);
  // The check after the write misses the entry once; the retry's read finds it.
  expect("found on the retry", {}, 0, "EqualSid", {{kOurs, 0}}, "", 1);
  expect("a write lost twice", {{kOtherA, 1}}, 2, "", {{kOtherA, 1}},
         "loopback exemption set failed after 2 attempts (concurrent race)", 2);
}

// A function that cannot be found fails with its error, and is looked for again next time. The
// three profile functions are looked up together: where one is missing, each operation fails.
TEST_F(Loopback, AMissingFunctionFailsWithItsErrorAndIsLookedForAgain) {
  winsim::fail_next_call("GetProcAddress", "NetworkIsolationGetAppContainerConfig",
                         ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(exempt_ours(),
            "NetworkIsolationGetAppContainerConfig returned Win32 error 127 (admin?)");
  EXPECT_EQ(exempt_ours(), "");

  forget_profile_functions();
  winsim::fail_every_call("GetProcAddress", "DeleteAppContainerProfile", ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(ensure_profile("p").error().code(), 0x8007007Fu);
  EXPECT_EQ(derive_sid("p").error().code(), 0x8007007Fu);
  EXPECT_EQ(delete_profile("p").error().code(), 0x8007007Fu);
  winsim::clear_faults();
  EXPECT_TRUE(ensure_profile("p"));
}

// The probe answers; a probe that cannot answer is an internal failure.
using Probe = AdminMachine;
TEST_F(Probe, WritesOneLineOrFailsInternally) {
  EXPECT_EQ(run({"--probe"}).out, "tavo-sandbox probe ok\n");
  EXPECT_EXIT(
      {
        testing::RedirectedDescriptor out(1, root / "out", O_WRONLY | O_CREAT | O_TRUNC);
        winsim::fail_next_call("WriteFile", "", ERROR_BROKEN_PIPE);
        std::exit(run_program({"tavo-sandbox", "--probe"}));
      },
      ::testing::ExitedWithCode(101),
      "tavo-sandbox: internal error: cannot write to standard output");
}

using CleanupMode = AdminMachine;
const std::string kCleanup = "] cleanup: ";
const std::string kError = "[ERROR tavo_sandbox" + kCleanup;
const std::string kWarn = "[WARN  tavo_sandbox" + kCleanup;
const std::string kInfo = "[INFO  tavo_sandbox" + kCleanup;
const std::string kSkipping = kInfo + "skipping DeleteAppContainerProfile \xE2\x80\x94 ";

// A derived SID's entries go and so does its profile. A path is revoked by its 8.3 name as by its
// own; a system path, and one that no longer exists or whose folder went, count as done.
TEST_F(CleanupMode, ADerivedSidIsRevokedAndItsProfileDeleted) {
  const std::string sid = arrange_cleanup();
  testing::LogCapture log(Level::Info);
  EXPECT_EQ(cleanup({"build-1",
                     {"C:\\work\\a", "C:\\work\\b", "C:\\work\\LONGNA~1", "C:\\Windows",
                      "C:\\work\\..\\Windows", "C:\\work\\gone", "C:\\work\\gone\\deeper"},
                     std::nullopt}),
            0);
  for (const std::string& path : kRevoked)
    EXPECT_EQ(stored(path).find(sid), std::string::npos) << path;
  EXPECT_TRUE(winsim::profiles().empty());
  EXPECT_EQ(log.text_of(kCleanup),
            kWarn + "refusing to revoke ACL on system path: C:\\Windows\n" + kWarn +
                "refusing to revoke ACL on system path: C:\\work\\..\\Windows\n" + kInfo +
                "revoke C:\\work\\gone skipped (path no longer exists)\n" + kInfo +
                "revoke C:\\work\\gone\\deeper skipped (path no longer exists)\n");
  EXPECT_EQ(testing::dacl_calls_by_name(), std::vector<std::string>{});
}

// A SID that cannot be resolved (a SID file that cannot be read is never replaced by a derivation)
// touches nothing. Partial: a failed revoke is counted, the others are done, and a derived SID's
// profile goes all the same; a shared one stays. A failed deletion is only warned about.
TEST_F(CleanupMode, AnUnresolvedSidOrAFailedRevokeIsPartial) {
  const std::string sid = arrange_cleanup();
  const std::string missing = "C:\\ProgramData\\missing.sid";
  testing::LogCapture log(Level::Info);
  EXPECT_EQ(cleanup({"build-1", kRevoked, missing}), 17);
  EXPECT_EQ(cleanup({"not/allowed", kRevoked, std::nullopt}), 17);
  EXPECT_NE(stored("C:\\work\\a").find(sid), std::string::npos);
  EXPECT_EQ(winsim::profiles().size(), 1u);
  winsim::fail_every_call("SetSecurityInfo", "work\\b", ERROR_ACCESS_DENIED);
  EXPECT_EQ(cleanup({"x", kRevoked, "C:\\ProgramData\\shared.sid"}), 17);
  EXPECT_EQ(winsim::profiles().size(), 1u);
  winsim::fail_next_call("DeleteAppContainerProfile", "", ERROR_ACCESS_DENIED);
  EXPECT_EQ(cleanup({"build-1", kRevoked, std::nullopt}), 17);
  EXPECT_EQ(winsim::profiles().size(), 1u);
  EXPECT_EQ(cleanup({"build-1", kRevoked, std::nullopt}), 17);
  EXPECT_TRUE(winsim::profiles().empty());
  EXPECT_EQ((stored("C:\\work\\a") + stored("C:\\work\\long name")).find(sid), std::string::npos);
  const std::string unresolved =
      kSkipping + "SID resolution failed, ACEs may still reference it\n" + kError +
      "exiting CLEANUP_PARTIAL \xE2\x80\x94 SID resolution failed, nothing could be confirmed "
      "revoked\n";
  const std::string denied = HresultError::from_win32(5).display() + "\n";
  const std::string failed = kWarn + "revoke C:\\work\\b failed: " + denied;
  const std::string partial = kError + "1 of 3 revoke(s) failed\n";
  EXPECT_EQ(log.text_of(kCleanup),
            kError + "read STABLE-SID from " + missing + " failed: network sid file '" + missing +
                "': " + IoError::from_win32(2).display() + "\n" + unresolved + kError +
                "derive_sid failed: " + HresultError(0x80070057).display() + "\n" + unresolved +
                failed + kSkipping + "profile is shared across sessions (STABLE-SID)\n" + partial +
                failed + kWarn + "delete profile failed: " + denied + partial + failed + partial);
}

class AdminFaultSweep : public AdminMachine {
 protected:
  // Runs `act` once on an arranged machine to learn its faultable calls, then once more for each,
  // on a fresh and arranged machine, with that call failing with access denied. `check` gets the
  // status of each of those runs, which must be 0 or `failure`, and the failed call's function
  // and key.
  void sweep(const std::function<void()>& arrange, const std::function<int()>& act, int failure,
             const std::function<void(int status, const std::string& call)>& check) {
    const std::vector<std::string> held = winsim::leaks();
    const auto prepare = [&] {
      start_over();
      arrange();
      // The profile and network-isolation functions are looked up again: the same calls each time.
      forget_profile_functions();
      forget_network_isolation_functions();
    };
    prepare();
    const std::size_t first = winsim::faultable_calls();
    ASSERT_EQ(act(), 0);
    std::vector<std::string> keys;
    for (const winsim::Call& call : winsim::trace()) {
      if (call.faultable) keys.push_back(call.function + " " + call.key);
    }
    keys.erase(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(first));
    for (std::size_t n = 1; n <= keys.size(); ++n) {
      SCOPED_TRACE("failing call " + std::to_string(n) + ": " + keys[n - 1]);
      prepare();
      testing::LogCapture quiet(Level::Warn);
      winsim::fail_call_number(n, ERROR_ACCESS_DENIED);
      const int status = act();
      winsim::clear_faults();
      EXPECT_TRUE(status == 0 || status == failure) << status;
      EXPECT_EQ(winsim::leaks(), held);
      EXPECT_EQ(winsim::running_processes(), 0u);
      check(status, keys[n - 1]);
    }
  }
};

// A cleanup that confirms took back every entry of the SID; a shared profile stays whatever fails.
TEST_F(AdminFaultSweep, Cleanup) {
  for (const bool stable : {false, true}) {
    SCOPED_TRACE(stable ? "SID file" : "derived SID");
    std::string sid;
    const auto act = [&] {
      return cleanup(
          {"build-1", kRevoked,
           stable ? std::optional<std::string>("C:\\ProgramData\\shared.sid") : std::nullopt});
    };
    sweep([&] { sid = arrange_cleanup(); }, act, 17,
          [&](int status, const std::string&) {
            for (const std::string& path : kRevoked) {
              EXPECT_TRUE(status != 0 || stored(path).find(sid) == std::string::npos) << path;
            }
            EXPECT_TRUE(!stable || winsim::profiles().size() == 1u);
          });
  }
}
// The SID file is written last: a success wrote it whole, with the loopback entry in place; a
// failure leaves an older file as it was, or none, never one cut short. The steps on the user's
// folders, the drive root, the NUL device and the PATH may fail without failing the registration.
TEST_F(AdminFaultSweep, ProfileRegistration) {
  const auto arrange = [&] {
    root.make_dir("c/Users/ann/.ssh");
    root.make_dir("c/Users/ann/.cargo");
    root.write("c/ProgramData/Tavo/shared.sid", "old\n");
  };
  // The operation rather than the whole mode: a failure to print the mode's line on standard
  // output is an internal failure that ends the process.
  const auto act = [] { return register_sandbox_profile("shared", kSidFile) ? 0 : 13; };
  // The drive root may fail for its traversal grant, not in the walk down to the SID file's
  // folder, which comes last: its failures there are the last ones.
  std::vector<int> root_statuses;
  sweep(arrange, act, 13, [&](int status, const std::string& call) {
    const std::string key = call.substr(call.find(' ') + 1);
    if (key == "C:\\") root_statuses.push_back(status);
    const bool may_fail =
        key.starts_with("C:\\Users") || key == "NUL" || key.find("icacls") != std::string::npos;
    EXPECT_TRUE(!may_fail || status == 0);
    const std::string sid = profile_sid("shared");
    const bool left = root.exists("c/ProgramData/Tavo/shared.sid");
    const std::string bytes = left ? root.read("c/ProgramData/Tavo/shared.sid") : "";
    if (status == 0) {
      EXPECT_EQ(bytes, sid + "\n");
      EXPECT_EQ(winsim::loopback_list(), std::vector<std::string>{sid});
    } else {
      EXPECT_TRUE(!left || bytes == "old\n") << bytes;
    }
  });
  const auto fatal = std::ranges::find_if(root_statuses, [](int status) { return status != 0; });
  EXPECT_NE(fatal, root_statuses.begin());
  EXPECT_NE(fatal, root_statuses.end());
  EXPECT_TRUE(std::all_of(fatal, root_statuses.end(), [](int status) { return status != 0; }));
}

// The marker is written last: it exists only after a success, and then so does every member's
// SID file and loopback entry. A SID file is whole or absent. The NUL device's grant is critical;
// the steps on the user's folders and the PATH are not.
TEST_F(AdminFaultSweep, PoolRegistration) {
  const auto arrange = [&] { root.make_dir("c/Users/ann/.cargo"); };
  const auto act = [] {
    return run_program({"tavo-sandbox", "--register-pool", "--pool-size", "2", "--pool-dir",
                        "C:\\ProgramData\\Tavo\\pool"});
  };
  sweep(arrange, act, 13, [&](int status, const std::string& call) {
    const std::string key = call.substr(call.find(' ') + 1);
    EXPECT_TRUE(!(key.starts_with("C:\\Users") || key.find("icacls") != std::string::npos) ||
                status == 0);
    // Without the drive root's traversal or the NUL device no member can run a command.
    EXPECT_TRUE(!(call == "SetSecurityInfo NUL" || call == "SetKernelObjectSecurity C:\\") ||
                status == 13);
    const std::vector<std::string> files = names_in("C:\\ProgramData\\Tavo\\pool");
    for (const std::string& name : files) {
      if (!name.ends_with(".dat")) continue;
      EXPECT_EQ(root.read("c/ProgramData/Tavo/pool/" + name),
                name.substr(0, name.size() - 4) + "\n");
    }
    const bool marked = root.exists("c/ProgramData/Tavo/pool/.registration-version");
    EXPECT_EQ(marked, status == 0);
    if (status != 0) return;
    const std::vector<std::string> sids = {profile_sid("tavo-sandbox-pool-0"),
                                           profile_sid("tavo-sandbox-pool-1")};
    EXPECT_EQ(winsim::loopback_list(), sids);
    EXPECT_EQ(files.size(), 3u);
  });
}

}  // namespace
}  // namespace tavo
