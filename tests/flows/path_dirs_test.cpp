// The PATH grants against winsim, with a stand-in icacls that records what it is asked to do.
#include "path_grant/path_dirs.h"

#include <gtest/gtest.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <algorithm>

#include "flows/icacls_stand_in.h"
#include "support/env.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"
#include "win/error.h"

namespace tavo {
namespace {

using testing::kOtherSid;
using testing::kTestSid;

// Where Windows keeps icacls; its DACL admits every AppContainer already, so the scans skip it.
constexpr std::string_view kSystem32 = "C:\\Windows\\System32";
constexpr std::string_view kAllAppPackages = "D:(A;OICI;0x1200a9;;;S-1-15-2-1)";
const std::vector<std::string> kTreeFlags = {"/T", "/C", "/Q"};

std::string read_execute(std::string_view sid) {
  return "*" + std::string(sid) + ":(OI)(CI)(RX)";
}

std::string traverse_entry(std::string_view sid) {
  return "(A;;0x1200a9;;;" + std::string(sid) + ")";
}

// The log lines of the PATH grants.
std::vector<std::string> path_grant_lines(const testing::LogCapture& log) {
  std::vector<std::string> lines;
  for (const std::string& line : log.lines()) {
    if (line.find(" tavo_sandbox::path_grant] ") != std::string::npos) lines.push_back(line);
  }
  return lines;
}

std::string line(std::string_view level, std::string_view message) {
  return "[" + std::string(level) + " tavo_sandbox::path_grant] " + std::string(message) + "\n";
}

// The directories given traversal, in order: the keys of the traversal writes.
std::vector<std::string> traverse_writes() {
  std::vector<std::string> keys;
  for (const winsim::Call& call : winsim::trace()) {
    if (call.function == "SetFileSecurityW") keys.push_back(call.key);
  }
  return keys;
}

// Calls of `function` on exactly `key`.
std::size_t calls_on(std::string_view function, std::string_view key) {
  return static_cast<std::size_t>(
      std::count_if(winsim::trace().begin(), winsim::trace().end(),
                    [&](const winsim::Call& c) { return c.function == function && c.key == key; }));
}

// Whether every traversal write came before the first icacls run.
bool ancestors_before_runs() {
  bool ran = false;
  for (const winsim::Call& call : winsim::trace()) {
    if (call.function == "CreateProcessW") ran = true;
    if (call.function == "SetFileSecurityW" && ran) return false;
  }
  return true;
}

std::vector<PoolEntry> pool_of(std::initializer_list<std::string_view> sids) {
  std::vector<PoolEntry> entries;
  for (std::string_view sid : sids)
    entries.push_back(PoolEntry{testing::make_sid(sid), std::string(sid)});
  return entries;
}

class PathDirGrants : public testing::MachineTest {
 protected:
  void SetUp() override {
    drives.make_dirs({kSystem32});
    icacls.install(drives.host(kSystem32));
    open_to_all_app_packages(kSystem32);
  }
  void TearDown() override {
    EXPECT_EQ(winsim::running_processes(), 0u);
    winsim::end_processes();
  }

  static void open_to_all_app_packages(std::string_view dir) {
    winsim::set_stored_sddl(dir, kAllAppPackages);
  }

  // A PATH of the given entries, with icacls's directory last.
  static void set_path(std::string entries) {
    testing::set_env("PATH", entries + ";" + std::string(kSystem32));
  }

  testing::Drives drives;
  testing::IcaclsStandIn icacls;
  testing::ScopedEnv path{"PATH", std::nullopt};
  SandboxSid sid = testing::make_sid(kTestSid);
};

TEST_F(PathDirGrants, OneDirectoryWrittenThreeWaysIsGrantedOnceWithoutAncestors) {
  drives.make_dirs({"C:\\Tools"});
  icacls.install(drives.host("C:\\Tools"));  // so that PATH holds nothing else
  testing::set_env("PATH", "C:\\Tools;c:\\tools\\;C:\\Tools\\\\");
  testing::LogCapture log;
  ASSERT_TRUE(grant_path_dirs(sid.get(), kTestSid));
  EXPECT_EQ(path_grant_lines(log),
            (std::vector<std::string>{
                line("INFO ", "granting read on 1 PATH directories (2 skipped)"),
                line("INFO ", "PATH grant applied: C:\\Tools"),
            }));
  EXPECT_EQ(icacls.targets(), std::vector<std::string>{"C:\\Tools"});
  // Directly below the drive root: the root is never granted here.
  EXPECT_TRUE(traverse_writes().empty());
}

TEST_F(PathDirGrants, MissingEmptyAndOpenEntriesAreSkippedWithTheirReason) {
  // A later duplicate of a missing directory goes silently; a trailing ';' is one empty entry.
  testing::set_env("PATH", "C:\\Missing;" + std::string(kSystem32) + ";c:\\missing\\;");
  testing::LogCapture log;
  ASSERT_TRUE(grant_path_dirs(sid.get(), kTestSid));
  EXPECT_EQ(path_grant_lines(log),
            (std::vector<std::string>{
                line("DEBUG", "PATH skip (not found): C:\\Missing"),
                line("DEBUG", "PATH skip (has AAP): C:\\Windows\\System32"),
                line("DEBUG", "PATH skip (not found): "),
                line("INFO ", "granting read on 0 PATH directories (4 skipped)"),
            }));
  EXPECT_TRUE(winsim::process_starts().empty());
  EXPECT_TRUE(traverse_writes().empty());
}

// A relative entry or a bare drive names whatever directory the registration runs from; a
// recursive grant there would open that whole tree. Rooted forms name one place and are kept.
TEST_F(PathDirGrants, EntriesThatAreNotAbsoluteAreSkipped) {
  drives.make_dirs({"C:\\work\\bin", "D:\\"});
  testing::TempDir host;
  host.make_dir("tools");
  host.make_dir("more");
  std::string rooted = host / "tools";  // \tmp\...\tools: rooted, without a drive
  std::replace(rooted.begin(), rooted.end(), '/', '\\');
  testing::CurrentDirectory cwd(drives.host("C:\\work"));
  set_path(".;bin;C:\\;D:;" + rooted + ";" + (host / "more"));
  testing::LogCapture log;
  ASSERT_TRUE(grant_path_dirs(sid.get(), kTestSid));
  EXPECT_EQ(path_grant_lines(log).size(), 8u);
  for (std::string_view entry : {".", "bin", "C:", "D:"}) {
    EXPECT_TRUE(log.contains(line("DEBUG", "PATH skip (not absolute): " + std::string(entry))))
        << entry;
  }
  EXPECT_TRUE(log.contains(line("INFO ", "granting read on 2 PATH directories (5 skipped)")));
  EXPECT_EQ(icacls.targets(), (std::vector<std::string>{rooted, host / "more"}));
}

TEST_F(PathDirGrants, ASharedAncestorIsGrantedOnceBeforeOneRunPerDirectory) {
  drives.make_dirs({"C:\\Program Files\\A", "C:\\Program Files\\B"});
  // What one directory below the ancestor costs it.
  set_path("C:\\Program Files\\A");
  ASSERT_TRUE(grant_path_dirs(sid.get(), kTestSid));
  const std::size_t reads_for_one = calls_on("GetFileSecurityW", "C:\\Program Files");
  fresh_machine();
  open_to_all_app_packages(kSystem32);
  const std::size_t earlier_runs = icacls.runs().size();

  set_path("C:\\Program Files\\A;C:\\Program Files\\B");
  testing::LogCapture log;
  ASSERT_TRUE(grant_path_dirs(sid.get(), kTestSid));
  // The walk for B stops at the ancestor A reached: no second look at it.
  EXPECT_EQ(traverse_writes(), std::vector<std::string>{"C:\\Program Files"});
  EXPECT_EQ(calls_on("GetFileSecurityW", "C:\\Program Files"), reads_for_one);
  EXPECT_EQ(winsim::stored_sddl("C:\\Program Files"), "D:" + traverse_entry(kTestSid));
  EXPECT_TRUE(ancestors_before_runs());

  const std::vector<std::vector<std::string>> runs = icacls.runs();
  ASSERT_EQ(runs.size(), earlier_runs + 2);
  EXPECT_EQ(runs[earlier_runs],
            testing::icacls_args("C:\\Program Files\\A", {read_execute(kTestSid)}, kTreeFlags));
  EXPECT_EQ(runs[earlier_runs + 1],
            testing::icacls_args("C:\\Program Files\\B", {read_execute(kTestSid)}, kTreeFlags));
  EXPECT_TRUE(log.contains(line("INFO ", "PATH grant applied: C:\\Program Files\\A")));
  EXPECT_TRUE(log.contains(line("INFO ", "PATH grant applied: C:\\Program Files\\B")));
}

TEST_F(PathDirGrants, AFailedRunIsWarnedAboutAndTheScanGoesOn) {
  drives.make_dirs({"C:\\A\\B", "C:\\A\\C"});
  icacls.fail_on("C:\\A\\B", "\n  C:\\A\\B: Access is denied.\r\n");
  set_path("C:\\A\\B;C:\\A\\C");
  testing::LogCapture log;
  ASSERT_TRUE(grant_path_dirs(sid.get(), kTestSid));
  EXPECT_TRUE(
      log.contains(line("WARN ", "PATH grant on C:\\A\\B failed: C:\\A\\B: Access is denied.")));
  EXPECT_FALSE(log.contains("PATH grant applied: C:\\A\\B"));
  EXPECT_TRUE(log.contains(line("INFO ", "PATH grant applied: C:\\A\\C")));
  EXPECT_EQ(icacls.targets(), (std::vector<std::string>{"C:\\A\\B", "C:\\A\\C"}));
}

TEST_F(PathDirGrants, AnIcaclsThatCannotStartEndsTheScanAndKeepsTheAncestorGrants) {
  drives.make_dirs({"C:\\A\\B", "C:\\A\\C"});
  testing::set_env("PATH", "C:\\A\\B;C:\\A\\C");  // icacls is on none of them
  auto granted = grant_path_dirs(sid.get(), kTestSid);
  ASSERT_FALSE(granted);
  EXPECT_EQ(granted.error(), "failed to spawn icacls for C:\\A\\B: " +
                                 IoError::from_win32(ERROR_FILE_NOT_FOUND).display());
  EXPECT_EQ(winsim::count_calls("CreateProcessW"), 1u);  // C:\A\C is not tried
  EXPECT_EQ(winsim::stored_sddl("C:\\A"), "D:" + traverse_entry(kTestSid));
}

TEST_F(PathDirGrants, AFailedAncestorGrantIsWarnedAboutAndTheWalkGoesOn) {
  drives.make_dirs({"C:\\A\\B\\C"});
  winsim::fail_next_call("SetFileSecurityW", "C:\\A\\B", ERROR_ACCESS_DENIED);
  set_path("C:\\A\\B\\C");
  testing::LogCapture log;
  ASSERT_TRUE(grant_path_dirs(sid.get(), kTestSid));
  EXPECT_TRUE(log.contains(line("WARN ", "PATH ancestor grant on C:\\A\\B failed: " +
                                             HresultError::from_win32(5).display())));
  EXPECT_EQ(winsim::stored_sddl("C:\\A\\B"), "");
  EXPECT_EQ(winsim::stored_sddl("C:\\A"), "D:" + traverse_entry(kTestSid));
  EXPECT_EQ(icacls.targets(), std::vector<std::string>{"C:\\A\\B\\C"});
}

class BatchPathDirGrants : public PathDirGrants {
 protected:
  std::vector<PoolEntry> pool = pool_of({kTestSid, kOtherSid});
  std::vector<std::string> grants = {read_execute(kTestSid), read_execute(kOtherSid)};
};

TEST_F(BatchPathDirGrants, SkipsSilentlyAndGrantsEverySidInOneRunPerDirectory) {
  drives.make_dirs({"C:\\A\\B", "C:\\A\\C"});
  set_path("C:\\Missing;C:\\A\\B;c:\\a\\b\\;.;C:\\A\\C;C:\\");
  testing::LogCapture log;
  grant_path_dirs_batch(pool);
  EXPECT_EQ(path_grant_lines(log), (std::vector<std::string>{
                                       line("INFO ", "batch PATH-scan: 2 dirs, 2 SIDs"),
                                       line("INFO ", "batch PATH grant applied: C:\\A\\B"),
                                       line("INFO ", "batch PATH grant applied: C:\\A\\C"),
                                   }));
  EXPECT_EQ(icacls.runs(), (std::vector<std::vector<std::string>>{
                               testing::icacls_args("C:\\A\\B", grants, kTreeFlags),
                               testing::icacls_args("C:\\A\\C", grants, kTreeFlags),
                           }));
  // The shared ancestor: one traversal write per SID, all before the first run.
  EXPECT_EQ(traverse_writes(), (std::vector<std::string>{"C:\\A", "C:\\A"}));
  const std::string stored = winsim::stored_sddl("C:\\A");
  EXPECT_NE(stored.find(traverse_entry(kTestSid)), std::string::npos) << stored;
  EXPECT_NE(stored.find(traverse_entry(kOtherSid)), std::string::npos) << stored;
  EXPECT_TRUE(ancestors_before_runs());
}

TEST_F(BatchPathDirGrants, AFailedAncestorGrantForOneSidLeavesTheOthers) {
  drives.make_dirs({"C:\\A\\B"});
  winsim::fail_next_call("SetFileSecurityW", "C:\\A", ERROR_ACCESS_DENIED);
  set_path("C:\\A\\B");
  testing::LogCapture log;
  grant_path_dirs_batch(pool);
  EXPECT_EQ(log.count("ancestor traverse grant on"), 1u);
  EXPECT_TRUE(log.contains(line("WARN ", "ancestor traverse grant on C:\\A failed: " +
                                             HresultError::from_win32(5).display())));
  EXPECT_EQ(winsim::stored_sddl("C:\\A"), "D:" + traverse_entry(kOtherSid));
  EXPECT_EQ(icacls.targets(), std::vector<std::string>{"C:\\A\\B"});
}

TEST_F(BatchPathDirGrants, AGitCmdDirectoryBringsItsMingw64SiblingAlong) {
  drives.make_dirs({"C:\\Program Files\\Git\\cmd", "C:\\Program Files\\Git\\mingw64",
                    "C:\\PortableGit\\CMD", "C:\\PortableGit\\mingw64", "C:\\MinGit\\cmd"});
  // A failed run on the cmd directory does not hold its sibling back.
  icacls.fail_on("C:\\PortableGit\\CMD", "denied");
  set_path("C:\\Program Files\\Git\\cmd;C:\\PortableGit\\CMD;C:\\MinGit\\cmd");
  testing::LogCapture log;
  grant_path_dirs_batch(pool);
  EXPECT_EQ(icacls.runs(),
            (std::vector<std::vector<std::string>>{
                testing::icacls_args("C:\\Program Files\\Git\\cmd", grants, kTreeFlags),
                testing::icacls_args("C:\\Program Files\\Git\\mingw64", grants, kTreeFlags),
                testing::icacls_args("C:\\PortableGit\\CMD", grants, kTreeFlags),
                testing::icacls_args("C:\\PortableGit\\mingw64", grants, kTreeFlags),
                testing::icacls_args("C:\\MinGit\\cmd", grants, kTreeFlags),
            }));
  EXPECT_TRUE(log.contains(
      line("INFO ", "batch PATH grant (Git mingw64): C:\\Program Files\\Git\\mingw64")));
  EXPECT_TRUE(
      log.contains(line("WARN ", "batch PATH grant on C:\\PortableGit\\CMD failed: denied")));
  EXPECT_TRUE(
      log.contains(line("INFO ", "batch PATH grant (Git mingw64): C:\\PortableGit\\mingw64")));
  EXPECT_EQ(log.count("mingw64"), 2u);  // nothing about C:\MinGit, which has none
}

TEST_F(BatchPathDirGrants, FailuresOfTheMingw64RunAreWarnedAbout) {
  drives.make_dirs({"C:\\Git\\cmd", "C:\\Git\\mingw64"});
  set_path("C:\\Git\\cmd");
  testing::LogCapture log;
  winsim::fail_next_call("CreateProcessW", "mingw64", ERROR_ACCESS_DENIED);
  grant_path_dirs_batch(pool);
  EXPECT_TRUE(log.contains(
      line("WARN ", "Git mingw64 icacls spawn failed: " + IoError::from_win32(5).display())));
  icacls.fail_on("C:\\Git\\mingw64", "no such tree\n");
  grant_path_dirs_batch(pool);
  EXPECT_TRUE(
      log.contains(line("WARN ", "Git mingw64 grant on C:\\Git\\mingw64 failed: no such tree")));
  EXPECT_EQ(icacls.targets(),
            (std::vector<std::string>{"C:\\Git\\cmd", "C:\\Git\\cmd", "C:\\Git\\mingw64"}));
}

TEST_F(BatchPathDirGrants, AnIcaclsThatCannotStartSkipsThatDirectoryOnly) {
  drives.make_dirs({"C:\\A\\B", "C:\\Git\\cmd", "C:\\Git\\mingw64", "C:\\A\\C"});
  winsim::fail_next_call("CreateProcessW", "C:\\A\\B", ERROR_ACCESS_DENIED);
  winsim::fail_next_call("CreateProcessW", "C:\\Git\\cmd", ERROR_ACCESS_DENIED);
  icacls.fail_on("C:\\A\\C", "  not today \n");
  set_path("C:\\A\\B;C:\\Git\\cmd;C:\\A\\C");
  testing::LogCapture log;
  grant_path_dirs_batch(pool);
  const std::string denied = IoError::from_win32(5).display();
  EXPECT_EQ(path_grant_lines(log),
            (std::vector<std::string>{
                line("INFO ", "batch PATH-scan: 3 dirs, 2 SIDs"),
                line("WARN ", "icacls spawn for C:\\A\\B failed: " + denied),
                line("WARN ", "icacls spawn for C:\\Git\\cmd failed: " + denied),
                line("WARN ", "batch PATH grant on C:\\A\\C failed: not today"),
            }));
  // No mingw64 run after its cmd directory's run could not start.
  EXPECT_EQ(icacls.targets(), std::vector<std::string>{"C:\\A\\C"});
}

}  // namespace
}  // namespace tavo
