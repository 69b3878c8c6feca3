// Registering one named sandbox profile against winsim: what the mode prints, what it leaves on the
// machine, which failures end it and which only warn.
#include "sandbox_profile/registration.h"

#include <gtest/gtest.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <filesystem>
#include <optional>
#include <string_view>

#include "flows/admin_machine.h"
#include "support/faults.h"
#include "support/log_capture.h"
#include "win/error.h"

namespace tavo {
namespace {

using testing::first_call_of;
using testing::last_call_of;

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
  bool sid_file_exists() const { return root.exists("c/ProgramData/Tavo/shared.sid"); }
  std::string sid_file_bytes() const { return root.read("c/ProgramData/Tavo/shared.sid"); }
};

TEST_F(Registration, ASuccessPrintsOneLineAndWritesTheSidFileLast) {
  ASSERT_FALSE(root.exists("c/ProgramData/Tavo"));  // the file's directory is made
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
  // The folder the file needed and the file belong to the administrators; users may read.
  EXPECT_EQ(winsim::owner_sid("C:\\ProgramData\\Tavo"), testing::kAdministrators);
  EXPECT_EQ(stored("C:\\ProgramData\\Tavo"), testing::kAdminFolderSddl);
  EXPECT_EQ(winsim::owner_sid(kSidFile), testing::kAdministrators);
  EXPECT_EQ(stored(kSidFile), testing::kAdminFileSddl);
}

TEST_F(Registration, RegisteringAgainChangesNothingButRewritesTheSameSidFile) {
  testing::ScopedEnv persisted("WINSIM_STATE", root / "state");
  ASSERT_EQ(register_shared().status, 0);
  const std::string first_bytes = sid_file_bytes();
  const std::string machine = root.read("state");
  // A longer, older content must go entirely.
  root.write("c/ProgramData/Tavo/shared.sid", "S-1-15-2-1-2-3-4-5-6-7-8-9-10-11\r\n\r\n");
  testing::LogCapture log(Level::Info);
  const Outcome again = register_shared();
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, kSuccessLine);
  EXPECT_EQ(sid_file_bytes(), first_bytes);
  EXPECT_EQ(root.read("state"), machine);
  EXPECT_TRUE(
      log.contains("[INFO  tavo_sandbox::sandbox_profile] SID already loopback-exempt; leaving "
                   "list unchanged\n"));
  EXPECT_EQ(winsim::count_calls("NetworkIsolationSetAppContainerConfig"), 1u);
}

// A fatal failure ends the registration with status 13 and the one error line, never with a new
// SID file: an older one is untouched before the file is opened, and gone (never cut short) once
// its writing failed. Nothing after the failed step is done.
TEST_F(Registration, FatalFailuresEndWithStatus13AndNoNewSidFile) {
  // With the next call of `function` failing (none: the caller is no administrator).
  auto expect = [&](const char* function, const char* key, const std::string& message,
                    bool after_grants) {
    SCOPED_TRACE(message);
    start_over();
    SetUp();
    root.write("c/ProgramData/Tavo/shared.sid", "old\n");
    testing::ScopedEnv admin_rights("WINSIM_ADMIN", *function ? std::nullopt : std::optional("0"));
    if (*function) winsim::fail_next_call(function, key, ERROR_ACCESS_DENIED);
    testing::LogCapture log(Level::Error);
    const Outcome outcome = register_shared();
    EXPECT_EQ(outcome.status, 13);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(log.text(),
              "[ERROR tavo_sandbox] register sandbox profile failed: " + message + "\n");
    if (std::string_view(function) == "WriteFile") {
      EXPECT_FALSE(sid_file_exists());
    } else {
      EXPECT_EQ(sid_file_bytes(), "old\n");
    }
    EXPECT_EQ(icacls.runs().size(), after_grants ? 1u : 0u);
    if (!after_grants) {
      EXPECT_EQ(stored("C:\\Users\\ann\\.ssh"), "");
      EXPECT_EQ(stored("C:\\"), "");
    }
  };
  const std::string denied = HresultError::from_win32(ERROR_ACCESS_DENIED).display();
  const std::string io_denied = IoError::from_win32(ERROR_ACCESS_DENIED).display();
  const std::string admin = " returned Win32 error 5 (admin?) (0x00000000)";
  expect("", "", "NetworkIsolationSetAppContainerConfig" + admin, false);
  expect("CreateAppContainerProfile", "", denied, false);
  expect("ConvertSidToStringSidW", "", denied, false);
  expect("NetworkIsolationGetAppContainerConfig", "",
         "NetworkIsolationGetAppContainerConfig" + admin, false);
  expect("CreateFileW", "shared.sid",
         "create(C:\\ProgramData\\Tavo\\shared.sid): " + io_denied + " (0x00000000)", true);
  expect("WriteFile", "",
         "write(C:\\ProgramData\\Tavo\\shared.sid): " + io_denied + " (0x00000000)", true);
}

TEST_F(Registration, ExistingCredentialStoresAreDeniedAndMissingOnesSkipped) {
  root.write("c/Users/ann/.npmrc", "//registry/:_authToken=x\n");
  testing::LogCapture log(Level::Debug);
  ASSERT_TRUE(register_sandbox_profile("shared", kSidFile));
  const std::string deny = ";0x1201bf;;;" + profile_sid("shared") + ")";
  EXPECT_TRUE(
      log.contains("[INFO  tavo_sandbox::sandbox_profile] applying 21 credential DENY ACEs\n"));
  EXPECT_TRUE(log.contains(
      "[DEBUG tavo_sandbox::sandbox_profile] DENY ACE applied on C:\\Users\\ann\\.ssh\n"));
  EXPECT_TRUE(
      log.contains("[DEBUG tavo_sandbox::sandbox_profile] skipping C:\\Users\\ann\\.docker "
                   "(does not exist; per-spawn layer covers post-install)\n"));
  EXPECT_EQ(log.count("(does not exist; per-spawn layer covers post-install)"), 19u);
  // A directory's deny reaches everything below it; a file's has no inheritance.
  EXPECT_TRUE(stored("C:\\Users\\ann\\.ssh").starts_with("D:P(D;OICI" + deny));
  EXPECT_TRUE(stored("C:\\Users\\ann\\.npmrc").starts_with("D:P(D;" + deny));
  EXPECT_EQ(stored("C:\\Users\\ann\\.docker"), "");

  // Created since, it gets its entry from the next registration.
  root.make_dir("c/Users/ann/.docker");
  ASSERT_TRUE(register_sandbox_profile("shared", kSidFile));
  EXPECT_TRUE(stored("C:\\Users\\ann\\.docker").starts_with("D:P(D;OICI" + deny));
}

// Unset and empty alike: an empty variable would put the package directory, and traversal
// grants, at the root of whatever drive is current.
TEST_F(Registration, WithoutProfileVariablesTheUserStepsDoNothing) {
  for (const std::optional<std::string>& value :
       {std::optional<std::string>{}, std::optional<std::string>{""}}) {
    SCOPED_TRACE(value ? "empty" : "unset");
    start_over();
    SetUp();
    testing::ScopedEnv no_home("USERPROFILE", value);
    testing::ScopedEnv no_local("LOCALAPPDATA", value);
    testing::ScopedEnv no_roaming("APPDATA", value);
    testing::LogCapture log(Level::Info);
    const Outcome outcome = register_shared();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, kSuccessLine);
    EXPECT_TRUE(log.contains("applying 0 credential DENY ACEs\n"));
    EXPECT_EQ(log.text_of("[WARN"), "");
    const std::string sid = profile_sid("shared");
    EXPECT_TRUE(stored("C:\\").starts_with("D:(A;;0x1200a9;;;" + sid + ")")) << stored("C:\\");
    for (const char* untouched :
         {"C:\\Users", "C:\\Users\\ann", "C:\\Users\\ann\\.ssh", "C:\\Users\\ann\\.cargo",
          "C:\\Users\\ann\\AppData\\Local\\Packages", "\\Packages"}) {
      EXPECT_EQ(stored(untouched), "") << untouched;
    }
    EXPECT_FALSE(root.exists("c/Users/ann/AppData/Local/Packages/shared"));
    EXPECT_FALSE(std::filesystem::exists("/Packages/shared"));
    EXPECT_EQ(sid_file_bytes(), sid + "\n");
  }
}

// An administrator's registration edits the folders the user's variables name; pointed into a
// system location, it changes nothing there and names each path it skips.
TEST_F(Registration, ProfileVariablesPointingIntoTheSystemChangeNothingThere) {
  for (const char* d : {"c/Windows/System32/.ssh", "c/Windows/gnupg", "c/Windows/Temp"})
    root.make_dir(d);
  testing::ScopedEnv system_home("USERPROFILE", "C:\\Windows\\System32");
  testing::ScopedEnv system_local("LOCALAPPDATA", "C:\\Windows\\Temp");
  testing::ScopedEnv system_roaming("APPDATA", "C:\\Windows");
  testing::LogCapture log(Level::Warn);
  const Outcome outcome = register_shared();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, kSuccessLine);
  const std::string refusing =
      "[WARN  tavo_sandbox::sandbox_profile] refusing to modify ACL on "
      "system path: ";
  EXPECT_EQ(log.text(), refusing + "C:\\Windows\\System32\\.ssh\n" + refusing +
                            "C:\\Windows\\gnupg\n" + refusing + "C:\\Windows\\System32\n" +
                            refusing + "C:\\Windows\\Temp\\Packages\n");
  for (const char* system : {"C:\\Windows", "C:\\Windows\\System32", "C:\\Windows\\System32\\.ssh",
                             "C:\\Windows\\gnupg", "C:\\Windows\\Temp"}) {
    EXPECT_EQ(stored(system), "") << system;
  }
  EXPECT_FALSE(root.exists("c/Windows/Temp/Packages"));
  EXPECT_EQ(testing::dacl_calls_by_name(), std::vector<std::string>{});
}

// Each failure of a step that may fail is warned about with its own words (a tool-cache
// directory's only at debug level), and the registration ends as a success all the same.
TEST_F(Registration, NonFatalFailuresOnlyWarn) {
  const std::string denied = HresultError::from_win32(ERROR_ACCESS_DENIED).display();
  const std::string warn = "[WARN  tavo_sandbox::sandbox_profile] ";
  const std::tuple<const char*, const char*, std::string> cases[] = {
      {"SetSecurityInfo", ".ssh", warn + "DENY ACE on C:\\Users\\ann\\.ssh failed: " + denied},
      {"SetKernelObjectSecurity", "",
       warn +
           "drive root traversal grant failed (non-fatal): grant drive root traversal on C:\\ "
           "failed: " +
           denied},
      {"SetKernelObjectSecurity", "C:\\Users\\ann",
       warn +
           "USERPROFILE ancestor grants failed (non-fatal): grant ancestor C:\\Users\\ann "
           "failed: " +
           denied},
      {"SetKernelObjectSecurity", "Packages",
       warn +
           "LOCALAPPDATA\\Packages ancestor grants failed (non-fatal): grant ancestor "
           "C:\\Users\\ann\\AppData\\Local\\Packages failed: " +
           denied},
      {"SetSecurityInfo", "Packages\\shared",
       warn + "AC package dir grant failed (non-fatal): " + denied},
      {"SetSecurityInfo", "NUL",
       warn + "NUL device grant failed (non-fatal): SetSecurityInfo NUL failed: 5"},
      {"SetSecurityInfo", ".cargo",
       "[DEBUG tavo_sandbox::sandbox_profile] grant user package dir C:\\Users\\ann\\.cargo "
       "failed: " +
           denied},
      {"CreateProcessW", "",
       warn + "PATH-scan grant failed (non-fatal): failed to spawn icacls for C:\\Tools: " +
           IoError::from_win32(ERROR_ACCESS_DENIED).display()},
  };
  for (const auto& [function, key, line] : cases) {
    SCOPED_TRACE(line);
    start_over();
    SetUp();
    winsim::fail_next_call(function, key, ERROR_ACCESS_DENIED);
    testing::LogCapture log(Level::Debug);
    EXPECT_TRUE(register_sandbox_profile("shared", kSidFile));
    EXPECT_EQ(log.text_of("[WARN"), line.starts_with("[WARN") ? line + "\n" : "");
    EXPECT_TRUE(log.contains(line + "\n")) << log.text();
    EXPECT_EQ(sid_file_bytes(), profile_sid("shared") + "\n");
  }
}

}  // namespace
}  // namespace tavo
