// The PATH grants against winsim, with a stand-in icacls that records what it is asked to do.
#include "path_grant/path_dirs.h"

#include <gtest/gtest.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <algorithm>

#include "flows/icacls_stand_in.h"
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

// Where Windows keeps icacls; its DACL admits every AppContainer already, so the scans skip it.
constexpr std::string_view kSystem32 = "C:\\Windows\\System32";
const std::vector<std::string> kTreeFlags = {"/T", "/C", "/Q"};

std::string read_execute(std::string_view sid) {
  return "*" + std::string(sid) + ":(OI)(CI)(RX)";
}

std::string traverse_entry(std::string_view sid) {
  return "(A;;0x1200a9;;;" + std::string(sid) + ")";
}

// Whether every traversal write came before the first icacls run.
bool ancestors_before_runs() {
  bool ran = false;
  for (const winsim::Call& call : winsim::trace()) {
    if (call.function == "CreateProcessW") ran = true;
    if (call.function == "SetKernelObjectSecurity" && ran) return false;
  }
  return true;
}

class PathDirGrants : public testing::MachineTest {
 protected:
  void SetUp() override {
    icacls.install(drives.host(kSystem32));
    winsim::set_stored_sddl(kSystem32, "D:(A;OICI;0x1200a9;;;S-1-15-2-1)");
  }
  void TearDown() override {
    EXPECT_EQ(winsim::running_processes(), 0u);
    winsim::end_processes();
  }

  // A PATH of the given entries, with icacls's directory last.
  static void set_path(const std::string& entries) {
    testing::set_env("PATH", entries + ";" + std::string(kSystem32));
  }

  testing::Drives drives;
  testing::IcaclsStandIn icacls;
  testing::ScopedEnv path{"PATH", std::nullopt};
  SandboxSid sid = testing::make_sid(kTestSid);
  testing::LogCapture log;
};

// A relative entry or a bare drive names whatever directory the registration runs from; a
// recursive grant there would open that whole tree. Rooted forms name one place and are kept, once
// however they are written; a later duplicate of a skipped entry goes silently.
TEST_F(PathDirGrants, EntriesAreSkippedWithTheirReasonAndGrantedOnce) {
  drives.make_dirs({"C:\\work\\bin", "D:\\", "C:\\Tools"});
  testing::TempDir host;
  host.make_dir("tools");
  std::string rooted = host / "tools";  // \tmp\...\tools: rooted, without a drive
  std::replace(rooted.begin(), rooted.end(), '/', '\\');
  testing::CurrentDirectory cwd(drives.host("C:\\work"));
  testing::set_env("PATH", "C:\\Missing;" + std::string(kSystem32) +
                               ";c:\\missing\\;.;bin;C:\\;D:;C:\\Tools;c:\\tools\\;C:\\Tools\\\\;" +
                               rooted + ";");
  ASSERT_TRUE(grant_path_dirs(sid.get(), kTestSid));
  EXPECT_TRUE(log.contains("PATH skip (not absolute): bin"));
  EXPECT_EQ(icacls.runs(), (Runs{icacls_args("C:\\Tools", {read_execute(kTestSid)}, kTreeFlags),
                                 icacls_args(rooted, {read_execute(kTestSid)}, kTreeFlags)}));
}

// An ancestor shared by two directories is granted once, every ancestor before the first run;
// a failed ancestor grant or run is warned about and the scan goes on.
TEST_F(PathDirGrants, AncestorsComeFirstAndFailuresOnlyWarn) {
  drives.make_dirs({"C:\\A\\B\\C", "C:\\A\\D"});
  winsim::fail_next_call("SetKernelObjectSecurity", "C:\\A\\B", ERROR_ACCESS_DENIED);
  icacls.fail_on("C:\\A\\B\\C", "\n  C:\\A\\B\\C: Access is denied.\r\n");
  set_path("C:\\A\\B\\C;C:\\A\\D");
  ASSERT_TRUE(grant_path_dirs(sid.get(), kTestSid));
  EXPECT_EQ(keys_of("SetKernelObjectSecurity"), (std::vector<std::string>{"C:\\A\\B", "C:\\A"}));
  EXPECT_EQ(winsim::stored_sddl("C:\\A"), "D:" + traverse_entry(kTestSid));
  EXPECT_TRUE(ancestors_before_runs());
  EXPECT_EQ(icacls.targets(), (std::vector<std::string>{"C:\\A\\B\\C", "C:\\A\\D"}));
}

TEST_F(PathDirGrants, AnIcaclsThatCannotStartEndsTheScanAndKeepsTheAncestorGrants) {
  drives.make_dirs({"C:\\A\\B", "C:\\A\\C"});
  // icacls is nowhere: the system directory, searched before PATH, loses its stand-in.
  std::filesystem::remove(drives.host(kSystem32) + "/icacls");
  testing::set_env("PATH", "C:\\A\\B;C:\\A\\C");
  auto granted = grant_path_dirs(sid.get(), kTestSid);
  ASSERT_FALSE(granted);
  EXPECT_EQ(granted.error(), "failed to spawn icacls for C:\\A\\B: " +
                                 IoError::from_win32(ERROR_FILE_NOT_FOUND).display());
  EXPECT_EQ(winsim::count_calls("CreateProcessW"), 1u);  // C:\A\C is not tried
  EXPECT_EQ(winsim::stored_sddl("C:\\A"), "D:" + traverse_entry(kTestSid));
}

class BatchPathDirGrants : public PathDirGrants {
 protected:
  std::vector<PoolEntry> pool = testing::pool_of({kTestSid, kOtherSid});
  std::vector<std::string> grants = {read_execute(kTestSid), read_execute(kOtherSid)};
};

TEST_F(BatchPathDirGrants, SkipsSilentlyAndGrantsEverySidInOneRunPerDirectory) {
  drives.make_dirs({"C:\\A\\B", "C:\\A\\C"});
  set_path("C:\\Missing;C:\\A\\B;c:\\a\\b\\;.;C:\\A\\C;C:\\");
  grant_path_dirs_batch(pool);
  EXPECT_EQ(log.text_of("skip"), "");
  EXPECT_EQ(icacls.runs(), (Runs{icacls_args("C:\\A\\B", grants, kTreeFlags),
                                 icacls_args("C:\\A\\C", grants, kTreeFlags)}));
  // The shared ancestor: one traversal write per SID, all before the first run.
  EXPECT_EQ(keys_of("SetKernelObjectSecurity"), (std::vector<std::string>{"C:\\A", "C:\\A"}));
  EXPECT_EQ(winsim::stored_sddl("C:\\A"),
            "D:" + traverse_entry(kOtherSid) + traverse_entry(kTestSid));
  EXPECT_TRUE(ancestors_before_runs());
}

// A Git "cmd" directory brings its mingw64 sibling along, unless the cmd directory's run could not
// start. Nothing ends the batch scan: a failed ancestor grant for one SID leaves the others, and
// each failed start or run is warned about. Ancestors in a system location are passed by.
TEST_F(BatchPathDirGrants, GitDirectoriesBringMingw64AndFailuresOnlyWarn) {
  drives.make_dirs({"C:\\A\\B", "C:\\A\\C", "C:\\G1\\cmd", "C:\\G1\\mingw64", "C:\\G2\\CMD",
                    "C:\\G2\\mingw64", "C:\\G3\\cmd", "C:\\G3\\mingw64",
                    "C:\\Program Files\\Git\\cmd"});
  winsim::fail_next_call("SetKernelObjectSecurity", "C:\\A", ERROR_ACCESS_DENIED);
  winsim::fail_next_call("CreateProcessW", "C:\\A\\B", ERROR_ACCESS_DENIED);
  winsim::fail_next_call("CreateProcessW", "C:\\G1\\cmd", ERROR_ACCESS_DENIED);
  winsim::fail_next_call("CreateProcessW", "C:\\G2\\mingw64", ERROR_ACCESS_DENIED);
  icacls.fail_on("C:\\A\\C", "  not today \n");
  icacls.fail_on("C:\\G3\\cmd", "  not today \n");
  set_path("C:\\A\\B;C:\\A\\C;C:\\G1\\cmd;C:\\G2\\CMD;C:\\G3\\cmd;C:\\Program Files\\Git\\cmd");
  grant_path_dirs_batch(pool);
  EXPECT_EQ(winsim::stored_sddl("C:\\Program Files"), "");
  EXPECT_EQ(winsim::stored_sddl("C:\\Program Files\\Git"), "");
  EXPECT_EQ(winsim::stored_sddl("C:\\A"), "D:" + traverse_entry(kOtherSid));
  EXPECT_EQ(icacls.targets(),
            (std::vector<std::string>{"C:\\A\\C", "C:\\G2\\CMD", "C:\\G3\\cmd", "C:\\G3\\mingw64",
                                      "C:\\Program Files\\Git\\cmd"}));
}

}  // namespace
}  // namespace tavo
