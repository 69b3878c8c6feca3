// Registering one named sandbox profile against winsim: what the mode prints, what it leaves on the
// machine, which failures end it and which only warn.
#include "sandbox_profile/registration.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <optional>

#include "flows/admin_machine.h"
#include "support/faults.h"
#include "support/log_capture.h"

namespace tavo {
namespace {

constexpr std::string_view kSidFile = "C:\\ProgramData\\Tavo\\shared.sid";
constexpr std::string_view kSuccessLine =
    "tavo-sandbox: registered sandbox profile 'shared' (SID written to "
    "'C:\\ProgramData\\Tavo\\shared.sid')\n";

class Registration : public testing::AdminMachine {
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

// One line on standard output; the SID file written last, with the folder it needed, as the
// administrators'; existing credential stores denied (a directory's deny reaches everything below
// it, a file's has no inheritance), missing ones skipped.
TEST_F(Registration, ASuccessPrintsOneLineAndWritesTheSidFileLast) {
  root.write("c/Users/ann/.npmrc", "//registry/:_authToken=x\n");
  const Outcome outcome = register_shared();
  ASSERT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, kSuccessLine);
  const std::string sid = profile_sid("shared");
  ASSERT_TRUE(sid.starts_with("S-1-15-2-")) << sid;
  EXPECT_EQ(sid_file_bytes(), sid + "\n");
  EXPECT_EQ(winsim::loopback_list(), std::vector<std::string>{sid});
  EXPECT_EQ(icacls.runs(), (std::vector<std::vector<std::string>>{testing::icacls_args(
                               "C:\\Tools", {"*" + sid + ":(OI)(CI)(RX)"}, {"/T", "/C", "/Q"})}));
  const std::size_t sid_file_created = first_call_of("CreateFileW", "shared.sid");
  ASSERT_NE(sid_file_created, 0u);
  // The file's own owner and DACL are set through its handle once it is open.
  for (const char* change : {"NetworkIsolationSetAppContainerConfig", "SetSecurityInfo",
                             "SetKernelObjectSecurity", "CreateProcessW", "CreateDirectoryW"}) {
    EXPECT_LT(last_call_of(change, "shared.sid"), sid_file_created) << change;
  }
  EXPECT_EQ(winsim::owner_sid("C:\\ProgramData\\Tavo"), testing::kAdministrators);
  EXPECT_EQ(stored("C:\\ProgramData\\Tavo"), testing::kAdminFolderSddl);
  EXPECT_EQ(winsim::owner_sid(kSidFile), testing::kAdministrators);
  EXPECT_EQ(stored(kSidFile), testing::kAdminFileSddl);
  const std::string deny = ";0x1201bf;;;" + sid + ")";
  EXPECT_TRUE(stored("C:\\Users\\ann\\.ssh").starts_with("D:P(D;OICI" + deny));
  EXPECT_TRUE(stored("C:\\Users\\ann\\.npmrc").starts_with("D:P(D;" + deny));
  EXPECT_EQ(stored("C:\\Users\\ann\\.docker"), "");
  EXPECT_EQ(testing::dacl_calls_by_name(), std::vector<std::string>{});
}

// A longer, older content goes entirely, the file gets the administrators' DACL back, and nothing
// else changes.
TEST_F(Registration, RegisteringAgainChangesNothingButRewritesTheSameSidFile) {
  testing::ScopedEnv persisted("WINSIM_STATE", root / "state");
  ASSERT_EQ(register_shared().status, 0);
  const std::string first_bytes = sid_file_bytes();
  const std::string machine = root.read("state");
  root.write("c/ProgramData/Tavo/shared.sid", "S-1-15-2-1-2-3-4-5-6-7-8-9-10-11\r\n\r\n");
  winsim::set_stored_sddl(host(kSidFile), "D:P(A;;0x1f01ff;;;S-1-5-32-545)");
  const Outcome again = register_shared();
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, kSuccessLine);
  EXPECT_EQ(sid_file_bytes(), first_bytes);
  EXPECT_EQ(root.read("state"), machine);
  EXPECT_EQ(winsim::count_calls("NetworkIsolationSetAppContainerConfig"), 1u);
}

// A caller who is no administrator cannot exempt the profile: status 13, one error line, and an
// older SID file stays as it was (the fault sweep fails every other call).
TEST_F(Registration, AFatalFailureEndsWithStatus13AndNoNewSidFile) {
  root.write("c/ProgramData/Tavo/shared.sid", "old\n");
  testing::ScopedEnv not_admin("WINSIM_ADMIN", "0");
  testing::LogCapture log(Level::Error);
  const Outcome outcome = register_shared();
  EXPECT_EQ(outcome.status, 13);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(log.text(),
            "[ERROR tavo_sandbox] register sandbox profile failed: NetworkIsolationSet"
            "AppContainerConfig returned Win32 error 5 (admin?) (0x00000000)\n");
  EXPECT_EQ(sid_file_bytes(), "old\n");
}

// Unset and empty alike: an empty variable would put the package directory, and traversal
// grants, at the root of whatever drive is current.
TEST_F(Registration, WithoutProfileVariablesTheUserStepsDoNothing) {
  for (const std::optional<std::string>& value : {std::optional<std::string>{}, {""}}) {
    SCOPED_TRACE(value ? "empty" : "unset");
    start_over();
    SetUp();
    testing::ScopedEnv no_home("USERPROFILE", value);
    testing::ScopedEnv no_local("LOCALAPPDATA", value);
    testing::ScopedEnv no_roaming("APPDATA", value);
    testing::LogCapture log(Level::Warn);
    ASSERT_EQ(register_shared().status, 0);
    EXPECT_EQ(log.text(), "");
    const std::string sid = profile_sid("shared");
    EXPECT_TRUE(stored("C:\\").starts_with("D:(A;;0x1200a9;;;" + sid + ")")) << stored("C:\\");
    for (const char* untouched :
         {"C:\\Users\\ann", "C:\\Users\\ann\\.ssh", "C:\\Users\\ann\\.cargo"})
      EXPECT_EQ(stored(untouched), "") << untouched;
    EXPECT_EQ(winsim::count_calls("CreateDirectoryW", "Packages"), 0u);
  }
}

// Pointed into a system location, the user's variables change nothing there, and each path
// skipped is named.
TEST_F(Registration, ProfileVariablesPointingIntoTheSystemChangeNothingThere) {
  for (const char* d : {"c/Windows/System32/.ssh", "c/Windows/gnupg", "c/Windows/Temp"})
    root.make_dir(d);
  testing::ScopedEnv system_home("USERPROFILE", "C:\\Windows\\System32");
  testing::ScopedEnv system_local("LOCALAPPDATA", "C:\\Windows\\Temp");
  testing::ScopedEnv system_roaming("APPDATA", "C:\\Windows");
  testing::LogCapture log(Level::Warn);
  ASSERT_EQ(register_shared().status, 0);
  std::string refused;
  for (const char* path : {"System32\\.ssh", "gnupg", "System32", "Temp\\Packages"}) {
    refused +=
        "[WARN  tavo_sandbox::sandbox_profile] refusing to modify ACL on system path: "
        "C:\\Windows\\" +
        std::string(path) + "\n";
  }
  EXPECT_EQ(log.text(), refused);
  for (const char* system : {"C:\\Windows", "C:\\Windows\\System32", "C:\\Windows\\System32\\.ssh",
                             "C:\\Windows\\gnupg", "C:\\Windows\\Temp"}) {
    EXPECT_EQ(stored(system), "") << system;
  }
  EXPECT_FALSE(root.exists("c/Windows/Temp/Packages"));
}

}  // namespace
}  // namespace tavo
