// The tool-cache grants: through icacls for a pool, through the ACL calls for one SID.
#include "sandbox_profile/package_dir_grants.h"

#include <gtest/gtest.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include "flows/icacls_stand_in.h"
#include "support/env.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/sids.h"
#include "win/error.h"

namespace tavo {
namespace {

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
    drives.make_dirs({"C:\\Windows\\System32", "C:\\Users\\ann\\AppData\\Local",
                      "C:\\Users\\ann\\AppData\\Roaming"});
    icacls.install(drives.host("C:\\Windows\\System32"));
  }
  void TearDown() override {
    EXPECT_EQ(winsim::running_processes(), 0u);
    winsim::end_processes();
  }

  std::vector<PoolEntry> pool_of(std::initializer_list<std::string_view> sids) {
    std::vector<PoolEntry> entries;
    for (std::string_view sid : sids)
      entries.push_back(PoolEntry{testing::make_sid(sid), std::string(sid)});
    return entries;
  }

  testing::Drives drives;
  testing::IcaclsStandIn icacls;
  // Two entries: winsim reads a PATH without ';' as a host PATH, split at ':'.
  testing::ScopedEnv path{"PATH", "C:\\Windows\\System32;C:\\Windows"};
  testing::ScopedEnv profile{"USERPROFILE", "C:\\Users\\ann"};
  testing::ScopedEnv local{"LOCALAPPDATA", "C:\\Users\\ann\\AppData\\Local"};
  testing::ScopedEnv roaming{"APPDATA", "C:\\Users\\ann\\AppData\\Roaming"};
};

TEST_F(PackageDirGrants, APoolGetsOneRunPerExistingDirectoryWithAGrantPerSid) {
  drives.make_dirs({"C:\\Users\\ann\\AppData\\Local\\npm-cache", "C:\\Users\\ann\\.cargo",
                    "C:\\Users\\ann\\AppData\\Roaming\\npm",
                    "C:\\Users\\ann\\AppData\\Roaming\\Python"});
  // Without APPDATA its rows are not looked at, though their directories exist.
  testing::set_env("APPDATA", std::nullopt);
  testing::LogCapture log;
  grant_user_package_dirs_batch(pool_of({kTestSid, kOtherSid, kThirdSid}));

  const std::vector<std::string> grants = {full_access(kTestSid), full_access(kOtherSid),
                                           full_access(kThirdSid)};
  EXPECT_EQ(
      icacls.runs(),
      (std::vector<std::vector<std::string>>{
          testing::icacls_args("C:\\Users\\ann\\.cargo", grants, kDirFlags),
          testing::icacls_args("C:\\Users\\ann\\AppData\\Local\\npm-cache", grants, kDirFlags),
      }));
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                line("INFO ", "package dir granted: C:\\Users\\ann\\.cargo"),
                line("INFO ", "package dir granted: C:\\Users\\ann\\AppData\\Local\\npm-cache"),
            }));
  EXPECT_EQ(winsim::count_calls("GetFileAttributesW", "Roaming"), 0u);
}

TEST_F(PackageDirGrants, EachFailedRunIsWarnedAboutAndTheNextDirectoryFollows) {
  drives.make_dirs(
      {"C:\\Users\\ann\\.m2", "C:\\Users\\ann\\.cargo", "C:\\Users\\ann\\AppData\\Roaming\\npm"});
  winsim::fail_next_call("CreateProcessW", ".m2", ERROR_ACCESS_DENIED);
  icacls.fail_on("C:\\Users\\ann\\.cargo", "\r\nC:\\Users\\ann\\.cargo: Access is denied.\r\n");
  testing::LogCapture log;
  grant_user_package_dirs_batch(pool_of({kTestSid}));
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                line("WARN ", "package dir C:\\Users\\ann\\.m2 icacls spawn failed: " +
                                  IoError::from_win32(5).display()),
                line("WARN ",
                     "package dir C:\\Users\\ann\\.cargo grant failed: "
                     "C:\\Users\\ann\\.cargo: Access is denied."),
                line("INFO ", "package dir granted: C:\\Users\\ann\\AppData\\Roaming\\npm"),
            }));
  EXPECT_EQ(icacls.targets(), (std::vector<std::string>{"C:\\Users\\ann\\.cargo",
                                                        "C:\\Users\\ann\\AppData\\Roaming\\npm"}));
}

class SinglePackageDirGrants : public PackageDirGrants {
 protected:
  void SetUp() override {
    PackageDirGrants::SetUp();
    drives.make_dirs({"C:\\Users\\ann\\.cargo", "C:\\Users\\ann\\AppData\\Local\\npm-cache",
                      "C:\\Users\\ann\\AppData\\Roaming\\npm"});
  }
  SandboxSid sid = testing::make_sid(kTestSid);
  const std::string read_write = "D:(A;OICI;0x1301bf;;;" + std::string(kTestSid) + ")";
};

TEST_F(SinglePackageDirGrants, OneSidGetsReadWriteOnEachDirectorySilently) {
  testing::LogCapture log;
  grant_user_package_dirs(sid.get());
  for (std::string_view dir :
       {"C:\\Users\\ann\\.cargo", "C:\\Users\\ann\\AppData\\Local\\npm-cache",
        "C:\\Users\\ann\\AppData\\Roaming\\npm"}) {
    EXPECT_EQ(winsim::stored_sddl(dir), read_write) << dir;
  }
  EXPECT_EQ(winsim::stored_sddl("C:\\Users\\ann"), "");  // nothing above them
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(winsim::process_starts().empty());
}

TEST_F(SinglePackageDirGrants, AFailedGrantIsADebugLineAndTheNextDirectoryFollows) {
  winsim::fail_next_call("SetNamedSecurityInfoW", ".cargo", ERROR_ACCESS_DENIED);
  testing::LogCapture log;
  grant_user_package_dirs(sid.get());
  EXPECT_EQ(log.lines(), std::vector<std::string>{line(
                             "DEBUG", "grant user package dir C:\\Users\\ann\\.cargo failed: " +
                                          HresultError::from_win32(5).display())});
  EXPECT_EQ(winsim::stored_sddl("C:\\Users\\ann\\.cargo"), "");
  EXPECT_EQ(winsim::stored_sddl("C:\\Users\\ann\\AppData\\Local\\npm-cache"), read_write);
  EXPECT_EQ(winsim::stored_sddl("C:\\Users\\ann\\AppData\\Roaming\\npm"), read_write);
}

}  // namespace
}  // namespace tavo
