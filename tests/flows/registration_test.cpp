// Registering one named sandbox profile against winsim: what the mode prints, what it leaves on the
// machine, which failures end it and which only warn.
#include "sandbox_profile/registration.h"

#include <gtest/gtest.h>

#include <winsim/process_testing.h>
#include <winsim/testing.h>
#include <filesystem>

#include <map>
#include <optional>

#include "entry.h"
#include "flows/admin_machine.h"
#include "flows/host_processes.h"
#include "sandbox_profile/profiles.h"
#include "sandbox_profile/sid.h"
#include "support/log_capture.h"
#include "win/error.h"

namespace tavo {
namespace {

using testing::first_call_of;
using testing::kHome;
using testing::last_call_of;

constexpr std::string_view kSidFile = "C:\\ProgramData\\Tavo\\shared.sid";
constexpr std::string_view kSuccessLine =
    "tavo-sandbox: registered sandbox profile 'shared' (SID written to "
    "'C:\\ProgramData\\Tavo\\shared.sid')\n";

struct Outcome {
  int status;
  std::string out;  // what reached standard output
};

class Registration : public testing::AdminMachine {
 protected:
  Outcome register_through_entry() {
    int status;
    {
      testing::RedirectedDescriptor out(1, root / "stdout", O_WRONLY | O_CREAT | O_TRUNC);
      status = run_program({"tavo-sandbox", "--register-sandbox-profile", "--profile-name",
                            "shared", "--sid-out-file", std::string(kSidFile)});
    }
    return {status, root.read("stdout")};
  }

  bool sid_file_exists() const { return root.exists("c/ProgramData/Tavo/shared.sid"); }
  std::string sid_file_bytes() const { return root.read("c/ProgramData/Tavo/shared.sid"); }

  // The deny entry the registration places, without and with inheritance.
  static std::string deny_entry(std::string_view flags, std::string_view sid) {
    return "(D;" + std::string(flags) + ";0x1201bf;;;" + std::string(sid) + ")";
  }
};

std::vector<std::string> lines_at(const testing::LogCapture& log, std::string_view level) {
  std::vector<std::string> out;
  for (const std::string& line : log.lines()) {
    if (line.starts_with("[" + std::string(level))) out.push_back(line);
  }
  return out;
}

TEST_F(Registration, ASuccessPrintsOneLineAndWritesTheSidFileLast) {
  ASSERT_FALSE(root.exists("c/ProgramData"));
  const Outcome outcome = register_through_entry();
  ASSERT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, kSuccessLine);

  const std::string sid = profile_sid("shared");
  ASSERT_TRUE(sid.starts_with("S-1-15-2-")) << sid;
  // The directory chain was made; the file holds the SDDL string and one line feed.
  EXPECT_EQ(sid_file_bytes(), sid + "\n");
  auto read_back = read_sid_file(kSidFile);
  ASSERT_TRUE(read_back) << read_back.error();
  auto derived = derive_sid("shared");
  ASSERT_TRUE(derived);
  EXPECT_TRUE(sid_equal(read_back->get(), derived->get()));

  EXPECT_EQ(winsim::loopback_list(), std::vector<std::string>{sid});
  EXPECT_EQ(icacls_runs(),
            std::vector<std::string>{"C:\\Tools /grant *" + sid + ":(OI)(CI)(RX) /T /C /Q"});

  // Nothing changes the machine after the SID file is created.
  const std::size_t sid_file_created = first_call_of("CreateFileW", "shared.sid");
  ASSERT_NE(sid_file_created, 0u);
  for (const char* change :
       {"NetworkIsolationSetAppContainerConfig", "SetNamedSecurityInfoW", "SetFileSecurityW",
        "SetSecurityInfo", "CreateProcessW", "CreateDirectoryW"}) {
    EXPECT_LT(last_call_of(change), sid_file_created) << change;
  }
}

TEST_F(Registration, RegisteringAgainRewritesTheSameFileAndLeavesTheLoopbackListAlone) {
  root.make_dir("c/Users/ann/.ssh");
  ASSERT_TRUE(register_sandbox_profile("shared", kSidFile));
  const std::string first_bytes = sid_file_bytes();
  const std::vector<std::string> objects = {"C:\\", "C:\\Users", std::string(kHome),
                                            std::string(kHome) + "\\.ssh",
                                            "C:\\Users\\ann\\AppData\\Local\\Packages\\shared"};
  std::map<std::string, std::string> first_dacls;
  for (const std::string& object : objects)
    first_dacls[object] = stored(object);
  const std::string nul = winsim::stored_sddl("NUL");

  // A longer, older content must go entirely.
  root.write("c/ProgramData/Tavo/shared.sid", "S-1-15-2-1-2-3-4-5-6-7-8-9-10-11\r\n\r\n");
  testing::LogCapture log(Level::Info);
  const Outcome again = register_through_entry();
  ASSERT_EQ(again.status, 0);
  EXPECT_EQ(again.out, kSuccessLine);
  EXPECT_EQ(sid_file_bytes(), first_bytes);
  EXPECT_TRUE(
      log.contains("[INFO  tavo_sandbox::sandbox_profile] SID already loopback-exempt; leaving "
                   "list unchanged\n"));
  EXPECT_EQ(winsim::count_calls("NetworkIsolationSetAppContainerConfig"), 1u);
  EXPECT_EQ(winsim::loopback_list(), std::vector<std::string>{profile_sid("shared")});
  EXPECT_EQ(winsim::profiles().size(), 1u);
  for (const std::string& object : objects)
    EXPECT_EQ(stored(object), first_dacls[object]) << object;
  EXPECT_EQ(winsim::stored_sddl("NUL"), nul);
}

TEST_F(Registration, WithoutAdministratorRightsNothingFollowsTheLoopbackStep) {
  root.make_dir("c/Users/ann/.ssh");
  testing::ScopedEnv user("WINSIM_ADMIN", "0");
  testing::LogCapture log(Level::Error);
  const Outcome outcome = register_through_entry();
  EXPECT_EQ(outcome.status, 13);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(log.text(),
            "[ERROR tavo_sandbox] register sandbox profile failed: "
            "NetworkIsolationSetAppContainerConfig returned Win32 error 5 (admin?) (0x00000000)\n");
  EXPECT_FALSE(sid_file_exists());
  EXPECT_EQ(stored(std::string(kHome) + "\\.ssh"), "");
  EXPECT_EQ(stored("C:\\"), "");
  EXPECT_TRUE(winsim::process_starts().empty());
  // What was done before the failure stays: the profile.
  EXPECT_EQ(winsim::profiles().size(), 1u);
}

TEST_F(Registration, TheOtherFatalStepsEndWithStatus13AndNoNewSidFile) {
  const std::string write_failed = IoError::from_win32(ERROR_ACCESS_DENIED).display();
  struct Case {
    const char* function;
    const char* key;
    DWORD error;
    std::string message;
    bool after_grants;  // the grant steps ran before the failure
    // What is left of an older SID file: untouched before the file is opened, nothing once it
    // was truncated and its writing failed (never a file cut short).
    std::optional<std::string> left;
  };
  const Case cases[] = {
      {"CreateAppContainerProfile", "", ERROR_ACCESS_DENIED,
       HresultError::from_win32(ERROR_ACCESS_DENIED).display(), false, "old\n"},
      {"ConvertSidToStringSidW", "", ERROR_NOT_ENOUGH_MEMORY,
       HresultError::from_win32(ERROR_NOT_ENOUGH_MEMORY).display(), false, "old\n"},
      {"NetworkIsolationGetAppContainerConfig", "", ERROR_ACCESS_DENIED,
       "NetworkIsolationGetAppContainerConfig returned Win32 error 5 (admin?) (0x00000000)", false,
       "old\n"},
      {"CreateFileW", "shared.sid", ERROR_ACCESS_DENIED,
       "create(C:\\ProgramData\\Tavo\\shared.sid): " + write_failed + " (0x00000000)", true,
       "old\n"},
      {"WriteFile", "", ERROR_ACCESS_DENIED,
       "write(C:\\ProgramData\\Tavo\\shared.sid): " + write_failed + " (0x00000000)", true,
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    start_over();
    root.write("c/ProgramData/Tavo/shared.sid", "old\n");
    winsim::fail_next_call(c.function, c.key, c.error);
    testing::LogCapture log(Level::Error);
    const Outcome outcome = register_through_entry();
    EXPECT_EQ(outcome.status, 13);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(log.text(),
              "[ERROR tavo_sandbox] register sandbox profile failed: " + c.message + "\n");
    EXPECT_EQ(sid_file_exists(), c.left.has_value());
    if (c.left) {
      EXPECT_EQ(sid_file_bytes(), *c.left);
    }
    EXPECT_EQ(icacls_runs().size(), c.after_grants ? 1u : 0u);
  }
}

TEST_F(Registration, ExistingCredentialStoresAreDeniedAndMissingOnesSkipped) {
  root.make_dir("c/Users/ann/.ssh");
  root.write("c/Users/ann/.npmrc", "//registry/:_authToken=x\n");
  testing::LogCapture log(Level::Debug);
  ASSERT_TRUE(register_sandbox_profile("shared", kSidFile));
  const std::string sid = profile_sid("shared");
  EXPECT_TRUE(
      log.contains("[INFO  tavo_sandbox::sandbox_profile] applying 21 credential DENY ACEs\n"));
  EXPECT_TRUE(
      log.contains("[DEBUG tavo_sandbox::sandbox_profile] DENY ACE applied on "
                   "C:\\Users\\ann\\.ssh\n"));
  EXPECT_TRUE(
      log.contains("[DEBUG tavo_sandbox::sandbox_profile] skipping C:\\Users\\ann\\.docker "
                   "(does not exist; per-spawn layer covers post-install)\n"));
  EXPECT_EQ(log.count("(does not exist; per-spawn layer covers post-install)"), 19u);
  // A directory's deny reaches everything below it; a file's has no inheritance.
  EXPECT_TRUE(stored("C:\\Users\\ann\\.ssh").starts_with("D:P" + deny_entry("OICI", sid)))
      << stored("C:\\Users\\ann\\.ssh");
  EXPECT_TRUE(stored("C:\\Users\\ann\\.npmrc").starts_with("D:P" + deny_entry("", sid)))
      << stored("C:\\Users\\ann\\.npmrc");
  EXPECT_EQ(stored("C:\\Users\\ann\\.docker"), "");

  // Created since, it gets its entry from the next registration.
  root.make_dir("c/Users/ann/.docker");
  ASSERT_TRUE(register_sandbox_profile("shared", kSidFile));
  EXPECT_TRUE(stored("C:\\Users\\ann\\.docker").starts_with("D:P" + deny_entry("OICI", sid)));
}

// Unset and empty alike: an empty variable would put the package directory, and traversal
// grants, at the root of whatever drive is current.
TEST_F(Registration, WithoutProfileVariablesTheUserStepsDoNothing) {
  for (const std::optional<std::string>& value :
       {std::optional<std::string>{}, std::optional<std::string>{""}}) {
    SCOPED_TRACE(value ? "empty" : "unset");
    start_over();
    root.make_dir("c/Users/ann/.ssh");
    root.make_dir("c/Users/ann/.cargo");
    testing::ScopedEnv no_home("USERPROFILE", value);
    testing::ScopedEnv no_local("LOCALAPPDATA", value);
    testing::ScopedEnv no_roaming("APPDATA", value);
    testing::LogCapture log(Level::Info);
    const Outcome outcome = register_through_entry();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, kSuccessLine);
    EXPECT_TRUE(log.contains("applying 0 credential DENY ACEs\n"));
    EXPECT_TRUE(lines_at(log, "WARN").empty()) << log.text();
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

// Each failure of a step that may fail is warned about with its own words (a tool-cache
// directory's only at debug level), and the registration ends as a success all the same.
TEST_F(Registration, NonFatalFailuresOnlyWarn) {
  const std::string denied = HresultError::from_win32(ERROR_ACCESS_DENIED).display();
  struct Case {
    const char* function;
    const char* key;
    DWORD error;
    std::string line;
  };
  const std::string profile_target = "[WARN  tavo_sandbox::sandbox_profile] ";
  const Case cases[] = {
      {"SetNamedSecurityInfoW", ".ssh", ERROR_ACCESS_DENIED,
       profile_target + "DENY ACE on C:\\Users\\ann\\.ssh failed: " + denied},
      {"SetFileSecurityW", "", ERROR_ACCESS_DENIED,
       profile_target +
           "drive root traversal grant failed (non-fatal): grant drive root traversal on C:\\ "
           "failed: " +
           denied},
      {"SetFileSecurityW", "C:\\Users\\ann", ERROR_ACCESS_DENIED,
       profile_target +
           "USERPROFILE ancestor grants failed (non-fatal): grant ancestor C:\\Users\\ann "
           "failed: " +
           denied},
      {"SetFileSecurityW", "Packages", ERROR_ACCESS_DENIED,
       profile_target +
           "LOCALAPPDATA\\Packages ancestor grants failed (non-fatal): grant ancestor "
           "C:\\Users\\ann\\AppData\\Local\\Packages failed: " +
           denied},
      {"SetNamedSecurityInfoW", "Packages\\shared", ERROR_ACCESS_DENIED,
       profile_target + "AC package dir grant failed (non-fatal): " + denied},
      {"SetSecurityInfo", "NUL", ERROR_ACCESS_DENIED,
       profile_target + "NUL device grant failed (non-fatal): SetSecurityInfo NUL failed: 5"},
      {"SetNamedSecurityInfoW", ".cargo", ERROR_ACCESS_DENIED,
       "[DEBUG tavo_sandbox::sandbox_profile] grant user package dir C:\\Users\\ann\\.cargo "
       "failed: " +
           denied},
      {"CreateProcessW", "", ERROR_FILE_NOT_FOUND,
       profile_target +
           "PATH-scan grant failed (non-fatal): failed to spawn icacls for C:\\Tools: " +
           IoError::from_win32(ERROR_FILE_NOT_FOUND).display()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    start_over();
    root.make_dir("c/Users/ann/.ssh");
    root.make_dir("c/Users/ann/.cargo");
    winsim::fail_next_call(c.function, c.key, c.error);
    testing::LogCapture log(Level::Debug);
    EXPECT_TRUE(register_sandbox_profile("shared", kSidFile));
    const std::vector<std::string> warnings = lines_at(log, "WARN");
    if (c.line.starts_with("[WARN")) {
      EXPECT_EQ(warnings, std::vector<std::string>{c.line + "\n"});
    } else {
      EXPECT_TRUE(warnings.empty()) << log.text();
      EXPECT_TRUE(log.contains(c.line + "\n")) << log.text();
    }
    EXPECT_EQ(sid_file_bytes(), profile_sid("shared") + "\n");
  }
}

}  // namespace
}  // namespace tavo
