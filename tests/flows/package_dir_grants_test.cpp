// The tool-cache grants: through icacls for a pool, through the ACL calls for one SID.
#include "sandbox_profile/package_dir_grants.h"

#include <gtest/gtest.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include "flows/icacls_stand_in.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "win/error.h"

namespace tavo {
namespace {

using testing::icacls_args;
using testing::kOtherSid;
using testing::kTestSid;

constexpr std::string_view kThirdSid = "S-1-15-2-11-12-13-14-15-16-17";
const std::vector<std::string> kDirFlags = {"/C", "/Q"};

std::string full_access(std::string_view sid) {
  return "*" + std::string(sid) + ":(OI)(CI)(F)";
}

std::string line(std::string_view level, std::string_view message) {
  return "[" + std::string(level) + " tavo_sandbox::sandbox_profile] " + std::string(message) +
         "\n";
}

class PackageDirGrants : public testing::MachineTest {
 protected:
  void SetUp() override {
    icacls.install(drives.host("C:\\Windows\\System32"));
    drives.make_dirs({"C:\\Users\\ann\\.cargo", "C:\\Users\\ann\\AppData\\Local\\npm-cache",
                      "C:\\Users\\ann\\AppData\\Roaming\\npm"});
  }
  void TearDown() override {
    EXPECT_EQ(winsim::running_processes(), 0u);
    winsim::end_processes();
  }

  testing::Drives drives;
  testing::IcaclsStandIn icacls;
  // Two entries: winsim reads a PATH without ';' as a host PATH, split at ':'.
  testing::ScopedEnv path{"PATH", "C:\\Windows\\System32;C:\\Windows"};
  testing::ScopedEnv profile{"USERPROFILE", "C:\\Users\\ann"};
  testing::ScopedEnv local{"LOCALAPPDATA", "C:\\Users\\ann\\AppData\\Local"};
  testing::ScopedEnv roaming{"APPDATA", "C:\\Users\\ann\\AppData\\Roaming"};
  testing::LogCapture log;
};

// One run per existing directory with a grant per SID; a failed start or run is warned about
// and the next directory follows. Without APPDATA its rows are not looked at.
TEST_F(PackageDirGrants, APoolGetsOneRunPerExistingDirectoryAndFailuresOnlyWarn) {
  testing::set_env("APPDATA", std::nullopt);
  drives.make_dirs({"C:\\Users\\ann\\.m2"});
  winsim::fail_next_call("CreateProcessW", ".m2", ERROR_ACCESS_DENIED);
  icacls.fail_on("C:\\Users\\ann\\.cargo", "\r\nC:\\Users\\ann\\.cargo: Access is denied.\r\n");
  grant_user_package_dirs_batch(testing::pool_of({kTestSid, kOtherSid, kThirdSid}));
  const std::vector<std::string> grants = {full_access(kTestSid), full_access(kOtherSid),
                                           full_access(kThirdSid)};
  EXPECT_EQ(icacls.runs(),
            (std::vector<std::vector<std::string>>{
                icacls_args("C:\\Users\\ann\\.cargo", grants, kDirFlags),
                icacls_args("C:\\Users\\ann\\AppData\\Local\\npm-cache", grants, kDirFlags)}));
  EXPECT_EQ(log.text(),
            line("WARN ", "package dir C:\\Users\\ann\\.m2 icacls spawn failed: " +
                              IoError::from_win32(5).display()) +
                line("WARN ",
                     "package dir C:\\Users\\ann\\.cargo grant failed: C:\\Users\\ann\\.cargo: "
                     "Access is denied.") +
                line("INFO ", "package dir granted: C:\\Users\\ann\\AppData\\Local\\npm-cache"));
}

TEST_F(PackageDirGrants, OneSidGetsReadWriteOnEachDirectorySilently) {
  SandboxSid sid = testing::make_sid(kTestSid);
  grant_user_package_dirs(sid.get());
  for (std::string_view dir :
       {"C:\\Users\\ann\\.cargo", "C:\\Users\\ann\\AppData\\Local\\npm-cache",
        "C:\\Users\\ann\\AppData\\Roaming\\npm"}) {
    EXPECT_EQ(winsim::stored_sddl(dir), "D:(A;OICI;0x1301bf;;;" + std::string(kTestSid) + ")")
        << dir;
  }
  EXPECT_EQ(winsim::stored_sddl("C:\\Users\\ann"), "");  // nothing above them
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(winsim::process_starts().empty());
}

}  // namespace
}  // namespace tavo
