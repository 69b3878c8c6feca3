// The grants of traversal and those made through icacls (PATH directories, tool caches) against
// winsim, with a stand-in icacls that records what it is asked to do.
#include "path_grant/path_dirs.h"
#include "path_grant/traversal.h"

#include <gtest/gtest.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <algorithm>

#include "flows/host_processes.h"
#include "flows/icacls_stand_in.h"
#include "sandbox_profile/package_dir_grants.h"
#include "support/faults.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "win/error.h"

namespace tavo {
namespace {

using testing::icacls_args;
using testing::keys_of;
using testing::kOtherSid;
using testing::kTestSid;
using Runs = std::vector<std::vector<std::string>>;
using Paths = std::vector<std::string>;

// Where Windows keeps icacls; its DACL admits every AppContainer already, so the scans skip it.
constexpr std::string_view kSystem32 = "C:\\Windows\\System32";
constexpr std::string_view kAllPackagesRead = "D:(A;;0x1200a9;;;S-1-15-2-1)";
const std::vector<std::string> kTreeFlags = {"/T", "/C", "/Q", "/L"};
const std::string kCargo = "C:\\Users\\ann\\.cargo";
const std::string kNpmCache = "C:\\Users\\ann\\AppData\\Local\\npm-cache";

std::string read_execute(std::string_view sid) {
  return "*" + std::string(sid) + ":(OI)(CI)(RX)";
}

// Whether every traversal write came before the first icacls run.
bool ancestors_before_runs() {
  const std::vector<std::string> calls = testing::faultable_functions();
  const auto first_run = std::ranges::find(calls, "CreateProcessW");
  return std::find(first_run, calls.end(), "SetKernelObjectSecurity") == calls.end();
}

class PathDirs : public testing::MachineTest {
 protected:
  void SetUp() override {
    icacls.install(drives.host(kSystem32));
    winsim::set_stored_sddl(kSystem32, kAllPackagesRead);
    drives.make_dirs({kCargo, kNpmCache, "C:\\Users\\ann\\AppData\\Roaming\\npm"});
  }
  void TearDown() override {
    EXPECT_EQ(winsim::running_processes(), 0u);
    winsim::end_processes();
  }

  static void set_path(const std::string& entries) {
    testing::set_env("PATH", entries + ";" + std::string(kSystem32));
  }

  testing::Drives drives;
  testing::IcaclsStandIn icacls;
  // Two entries: winsim reads a PATH without ';' as a host PATH, split at ':'.
  testing::ScopedEnv path{"PATH", "C:\\Windows\\System32;C:\\Windows"};
  testing::ScopedEnv profile{"USERPROFILE", "C:\\Users\\ann"};
  testing::ScopedEnv local{"LOCALAPPDATA", "C:\\Users\\ann\\AppData\\Local"};
  testing::ScopedEnv roaming{"APPDATA", "C:\\Users\\ann\\AppData\\Roaming"};
  SandboxSid sid = testing::make_sid(kTestSid);
  DaclEditLock lock;  // the test's, as a registration has one
  testing::LogCapture log;
};
// The traversal grants and the tool caches' grants on the same machine, findable by their modules.
using Traversal = PathDirs;
using PackageDirGrants = PathDirs;

// A relative entry or a bare drive would open whatever tree the registration runs from. Rooted
// forms are granted once however written; icacls gets no input, no output, no creation flags.
TEST_F(PathDirs, EachRootedEntryIsGrantedOnce) {
  drives.make_dirs({"C:\\work\\bin", "D:\\", "C:\\Tools"});
  testing::TempDir host;
  host.make_dir("tools");
  host.write("input.txt", "not for icacls\n");
  std::string rooted = host / "tools";  // \tmp\...\tools: rooted, without a drive
  std::replace(rooted.begin(), rooted.end(), '/', '\\');
  testing::CurrentDirectory cwd(drives.host("C:\\work"));
  set_path("C:\\Missing;c:\\missing\\;.;bin;C:\\;D:;C:\\Tools;c:\\tools\\;C:\\Tools\\\\;" + rooted);
  {
    testing::RedirectedDescriptor in(0, host / "input.txt", O_RDONLY);
    testing::RedirectedDescriptor out(1, host / "output.txt", O_WRONLY | O_CREAT | O_TRUNC);
    ASSERT_TRUE(grant_path_dirs(sid.get(), kTestSid, lock));
  }
  EXPECT_EQ(host.read("output.txt"), "");
  EXPECT_EQ(winsim::process_starts().back().creation_flags, 0u);
  EXPECT_TRUE(log.contains("PATH skip (not absolute): bin"));
  // icacls gets the folder's final path: here, the host's own name for it.
  EXPECT_EQ(icacls.runs(),
            (Runs{icacls_args("C:\\Tools", {read_execute(kTestSid)}, kTreeFlags),
                  icacls_args(host / "tools", {read_execute(kTestSid)}, kTreeFlags)}));
}

// PATH folders pass the guard on where they lead: a system folder named directly or through a
// link is skipped with a warning, never handed to icacls. A folder on the way swapped for a link
// after the scan is judged again where it leads then, and while icacls runs every folder of the
// target is held, so it cannot be swapped at all.
TEST_F(PathDirs, NoGrantLandsInTheSystem) {
  const std::string config = "C:\\Windows\\System32\\config";
  drives.make_dirs({config, "C:\\Users\\ann\\x\\config", "C:\\Users\\ann\\y\\bin"});
  std::filesystem::create_directory_symlink(drives.host(config),
                                            drives.host("C:\\Users\\ann\\bin"));
  set_path(config + ";C:\\Users\\ann\\bin;C:\\Users\\ann\\x\\config;C:\\Users\\ann\\y\\bin");
  winsim::replace_with_link_after("SetKernelObjectSecurity", "C:\\Users\\ann\\x",
                                  "C:\\Users\\ann\\x", "C:\\Windows\\System32");
  winsim::replace_with_link_after("CreateProcessW", "y\\bin", "C:\\Users\\ann\\y",
                                  "C:\\Windows\\System32");
  ASSERT_TRUE(grant_path_dirs(sid.get(), kTestSid, lock));
  const std::string refused =
      "[WARN  tavo_sandbox::path_grant] refusing to modify ACL on system path: ";
  EXPECT_EQ(log.text_of("WARN"), refused + config + "\n" + refused + "C:\\Users\\ann\\bin\n" +
                                     refused + "C:\\Users\\ann\\x\\config\n");
  EXPECT_EQ(icacls.targets(), Paths{"C:\\Users\\ann\\y\\bin"});
  // Where a real icacls would have landed, every link on the way followed: not in System32.
  EXPECT_EQ(icacls.lands(), Paths{"C:\\Users\\ann\\y\\bin"});
  EXPECT_EQ(winsim::count_calls("replace_with_link", "C:\\Users\\ann\\y"), 1u);
  EXPECT_FALSE(std::filesystem::is_symlink(drives.host("C:\\Users\\ann\\y")));
}

// Ancestors are granted once each, before the first run; only an icacls that cannot start ends
// the scan.
TEST_F(PathDirs, OnlyAnIcaclsThatCannotStartEndsTheScan) {
  drives.make_dirs({"C:\\A\\B\\C", "C:\\A\\D"});
  winsim::fail_next_call("SetKernelObjectSecurity", "C:\\A\\B", ERROR_ACCESS_DENIED);
  icacls.fail_on("C:\\A\\B\\C", "\n  C:\\A\\B\\C: Access is denied.\r\n");
  set_path("C:\\A\\B\\C;C:\\A\\D");
  ASSERT_TRUE(grant_path_dirs(sid.get(), kTestSid, lock));
  EXPECT_EQ(keys_of("SetKernelObjectSecurity"), (Paths{"C:\\A\\B", "C:\\A"}));
  EXPECT_TRUE(ancestors_before_runs());
  EXPECT_EQ(icacls.targets(), (Paths{"C:\\A\\B\\C", "C:\\A\\D"}));

  std::filesystem::remove(drives.host(kSystem32) + "/icacls");
  const std::size_t starts = winsim::count_calls("CreateProcessW");
  EXPECT_EQ(grant_path_dirs(sid.get(), kTestSid, lock).error(),
            "failed to spawn icacls for C:\\A\\B\\C: " +
                IoError::from_win32(ERROR_FILE_NOT_FOUND).display());
  EXPECT_EQ(winsim::count_calls("CreateProcessW"), starts + 1);  // C:\A\D is not tried
}

// A pool's scan skips silently, grants every SID in one run per directory, adds a Git "cmd"
// directory's mingw64 sibling when the cmd run started, passes by ancestors open to every
// AppContainer or in a system location, and goes on past every failure; a flood of standard
// error stalls no run.
TEST_F(PathDirs, APoolsScanRunsIcaclsOncePerDirectoryPastEveryFailure) {
  drives.make_dirs({"C:\\A\\B", "C:\\A\\C", "C:\\G1\\cmd", "C:\\G1\\mingw64", "C:\\G2\\CMD",
                    "C:\\G2\\mingw64", "C:\\G3\\cmd", "C:\\G3\\mingw64",
                    "C:\\Program Files\\Git\\cmd"});
  winsim::fail_next_call("SetKernelObjectSecurity", "C:\\A", ERROR_ACCESS_DENIED);
  winsim::fail_next_call("CreateProcessW", "C:\\A\\B", ERROR_ACCESS_DENIED);
  winsim::fail_next_call("CreateProcessW", "C:\\G1\\cmd", ERROR_ACCESS_DENIED);
  winsim::fail_next_call("CreateProcessW", "C:\\G2\\mingw64", ERROR_ACCESS_DENIED);
  icacls.fail_on("C:\\A\\C", "  not today \n");
  icacls.fail_on("C:\\G3\\cmd", "  not today \n");
  testing::set_env("ICACLS_FLOOD", "1048576");  // far more than a pipe holds
  winsim::set_stored_sddl("C:\\G1", kAllPackagesRead);
  set_path(
      "C:\\Missing;C:\\A\\B;c:\\a\\b\\;.;C:\\A\\C;C:\\;C:\\G1\\cmd;C:\\G2\\CMD;C:\\G3\\cmd;"
      "C:\\Program Files\\Git\\cmd");
  grant_path_dirs_batch(testing::pool_of({kTestSid, kOtherSid}), lock);
  EXPECT_EQ(log.text_of("skip"), "");
  Runs expected;
  // A Git in a system location admits every AppContainer already, as the system's folders do.
  EXPECT_EQ(log.text_of("refusing"),
            "[WARN  tavo_sandbox::path_grant] refusing to modify ACL on system path: "
            "C:\\Program Files\\Git\\cmd\n");
  for (const char* target : {"C:\\A\\C", "C:\\G2\\CMD", "C:\\G3\\cmd", "C:\\G3\\mingw64"}) {
    expected.push_back(
        icacls_args(target, {read_execute(kTestSid), read_execute(kOtherSid)}, kTreeFlags));
  }
  EXPECT_EQ(icacls.runs(), expected);
  EXPECT_TRUE(ancestors_before_runs());
  EXPECT_EQ(winsim::stored_sddl("C:\\A"), "D:(A;;0x1200a9;;;" + std::string(kOtherSid) + ")");
  EXPECT_EQ(winsim::stored_sddl("C:\\G1"), kAllPackagesRead);
}

// One SID gets read-write on each tool cache through the ACL calls, silently.
TEST_F(PackageDirGrants, OneSidGetsReadWriteOnEachCache) {
  grant_user_package_dirs(sid.get(), lock);
  for (const std::string& dir :
       {kCargo, kNpmCache, std::string("C:\\Users\\ann\\AppData\\Roaming\\npm")})
    EXPECT_EQ(winsim::stored_sddl(dir), "D:(A;OICI;0x1301bf;;;" + std::string(kTestSid) + ")")
        << dir;
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(winsim::process_starts().empty());
}

// A pool gets one icacls run per existing cache; failures are warned about with icacls's error
// trimmed and in UTF-8.
TEST_F(PackageDirGrants, APoolGetsOneIcaclsRunPerExistingCache) {
  testing::set_env("APPDATA", std::nullopt);
  drives.make_dirs({"C:\\Users\\ann\\.m2"});
  winsim::fail_next_call("CreateProcessW", ".m2", ERROR_ACCESS_DENIED);
  icacls.fail_on(kCargo, "\r\nC:\\Users\\ann\\.cargo: Access \xFF denied.\r\n");
  grant_user_package_dirs_batch(testing::pool_of({kTestSid, kOtherSid}));
  const std::vector<std::string> full = {"*" + std::string(kTestSid) + ":(OI)(CI)(F)",
                                         "*" + std::string(kOtherSid) + ":(OI)(CI)(F)"};
  EXPECT_EQ(icacls.runs(), (Runs{icacls_args(kCargo, full, {"/C", "/Q", "/L"}),
                                 icacls_args(kNpmCache, full, {"/C", "/Q", "/L"})}));
  const std::string line = "[WARN  tavo_sandbox::sandbox_profile] package dir ";
  EXPECT_EQ(log.text(),
            line + "C:\\Users\\ann\\.m2 icacls spawn failed: " + IoError::from_win32(5).display() +
                "\n" + line + kCargo + " grant failed: " + kCargo +
                ": Access \xEF\xBF\xBD denied.\n" +
                "[INFO  tavo_sandbox::sandbox_profile] package dir granted: " + kNpmCache + "\n");
}

// The ancestors, nearest first, of the final path (or the path as given); those open to every
// AppContainer are passed by, a protected one stays protected, the first failure ends the walk.
TEST_F(Traversal, TheCwdsAncestorsAreGrantedNearestFirst) {
  drives.make_dirs({"C:\\Users\\ann\\proj"});
  ASSERT_TRUE(grant_cwd_ancestors(sid.get(), "C:\\Users\\ann\\proj", lock));
  EXPECT_EQ(keys_of("SetKernelObjectSecurity"),
            (Paths{"\\\\?\\C:\\Users\\ann", "\\\\?\\C:\\Users", "\\\\?\\C:\\"}));
  fresh_machine();
  winsim::set_stored_sddl("C:\\Users", kAllPackagesRead);
  winsim::set_stored_sddl("C:\\Users\\ann", "D:P(A;OICI;0x1f01ff;;;S-1-5-18)");
  ASSERT_TRUE(grant_cwd_ancestors(sid.get(), "C:\\Users\\ann\\x", lock));
  ASSERT_TRUE(grant_cwd_ancestors(sid.get(), "C:\\", lock));
  EXPECT_EQ(keys_of("SetKernelObjectSecurity"), (Paths{"C:\\Users\\ann", "C:\\"}));
  EXPECT_EQ(
      winsim::stored_sddl("C:\\Users\\ann"),
      "D:P(A;;0x1200a9;;;" + std::string(testing::kTestSid) + ")(A;OICI;0x1f01ff;;;S-1-5-18)");
  const std::string info = "[INFO  tavo_sandbox::path_grant] granted traverse on ";
  EXPECT_EQ(log.text_of("granted traverse"), info + "3 ancestor(s) of C:\\Users\\ann\\proj\n" +
                                                 info + "2 ancestor(s) of C:\\Users\\ann\\x\n");

  fresh_machine();
  winsim::fail_next_call("SetKernelObjectSecurity", "ann", ERROR_ACCESS_DENIED);
  EXPECT_EQ(grant_cwd_ancestors(sid.get(), "C:\\Users\\ann\\x", lock).error(),
            "grant ancestor C:\\Users\\ann failed: " + HresultError::from_win32(5).display());
  EXPECT_EQ(keys_of("SetKernelObjectSecurity"), Paths{"C:\\Users\\ann"});
}

// An empty or missing SystemDrive means C:.
TEST_F(Traversal, TheDriveRootComesFromSystemDrive) {
  drives.make_dirs({"D:\\"});
  for (const char* drive : {"D:", "D:\\", "", static_cast<const char*>(nullptr)}) {
    testing::ScopedEnv system_drive("SystemDrive",
                                    drive ? std::optional<std::string>(drive) : std::nullopt);
    ASSERT_TRUE(grant_drive_root_traversal(sid.get(), lock));
  }
  EXPECT_EQ(keys_of("SetKernelObjectSecurity"), (Paths{"D:\\", "C:\\"}));  // the others unchanged
}

}  // namespace
}  // namespace tavo
