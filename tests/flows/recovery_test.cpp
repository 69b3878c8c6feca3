// What the next run or cleanup does with the journals of runs that were killed, and with the
// journals it must not touch.
#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <filesystem>

#include "cleanup.h"
#include "run_journal/journal_store.h"
#include "run_journal/journal_text.h"
#include "run_journal/process_identity.h"
#include "run_mode.h"
#include "support/env.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

using testing::kTestSid;

constexpr const char* kDenied = "D:P(D;OICI;0x1201bf;;;S-1-15-2-1-2-3-4-5-6-7)";
constexpr const char* kGranted = "D:(A;OICI;0x1301bf;;;S-1-15-2-1-2-3-4-5-6-7)";
constexpr const char* kRunsDir = "c/Users/u/AppData/Local/Tavo/runs";

class Recovery : public testing::MachineTest {
 protected:
  void SetUp() override {
    root.make_dir(kRunsDir);
    root.write("sid", std::string(kTestSid) + "\n");
  }

  // What a run killed during its command left: its grant and its deny in place, and its journal.
  std::string killed_run(const ProcessIdentity& owner, std::string_view tail = "") {
    root.make_dir("c/work/a");
    root.make_dir("c/work/secret");
    winsim::set_stored_sddl(root / "c/work/a", kGranted);
    winsim::set_stored_sddl(root / "c/work/secret", kDenied);
    std::string text = journal_preamble(owner, kTestSid);
    text += change_line({ChangeKind::Grant, "C:\\work\\a", root / "c/work/a", {}, false});
    text += change_line({ChangeKind::Deny, "C:\\work\\secret", root / "c/work/secret", {}, false});
    const std::string name = std::string(kRunsDir) + "/" + journal_file_name(owner);
    root.write(name, text.append(tail));
    return name;
  }

  int run_with(std::vector<std::string> grant_rw = {}, std::vector<std::string> deny = {},
               std::optional<std::string> cwd = {}) const {
    tavo::Run run;
    run.profile_name = "p";
    run.sandbox_sid_file = root / "sid";
    run.command = "true";
    run.grant_rw = std::move(grant_rw);
    run.deny_access = std::move(deny);
    run.cwd = std::move(cwd);
    return run_sandboxed(run);
  }

  std::string stored(std::string_view name) const { return winsim::stored_sddl(root / name); }
  std::string recovered(std::size_t undone) const {
    return format("recovered interrupted run {}: {} change(s) undone", gone.pid, undone);
  }

  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
  testing::ScopedEnv local{"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"};
  // This process's id with other creation times: runs that are gone.
  const ProcessIdentity gone{GetCurrentProcessId(), current_process()->created - 1};
  const ProcessIdentity gone_too{GetCurrentProcessId(), current_process()->created - 2};
};

// A run killed before its command started loses its grants and its denies; one killed while its
// command ran keeps its grants, as it would have on completion; a deny that a live run of the SID
// also holds stays until that run ends. A cleanup recovers as a run does. An unreadable journal
// is set aside for a person to read; a live run's journal is not touched.
TEST_F(Recovery, TheNextRunUndoesWhatAGoneRunLeftAsThatRunWouldHave) {
  testing::LogCapture log(Level::Info);
  const std::string damaged = killed_run(gone_too, "not a record\n");
  const std::string journal = killed_run(gone);
  EXPECT_EQ(run_with(), 0);
  EXPECT_EQ(stored("c/work/a"), "");
  EXPECT_EQ(stored("c/work/secret"), "");
  EXPECT_FALSE(root.exists(journal));
  EXPECT_TRUE(root.exists(set_aside_name(damaged)));
  EXPECT_TRUE(log.contains("set aside as"));
  EXPECT_EQ(log.count(recovered(2)), 1u) << log.text();

  killed_run(gone, kStartedLine);
  EXPECT_EQ(cleanup({"p", {}, root / "sid"}), 0);
  EXPECT_EQ(stored("c/work/a"), kGranted);
  EXPECT_EQ(stored("c/work/secret"), "");
  EXPECT_EQ(log.count(recovered(1)), 1u);

  // The test's parent process stands for a live run.
  HANDLE parent = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(getppid()));
  FILETIME created{}, unused[3]{};
  ASSERT_TRUE(GetProcessTimes(parent, &created, &unused[0], &unused[1], &unused[2]));
  CloseHandle(parent);
  const std::string live = killed_run(
      {DWORD(getppid()), (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime});
  killed_run(gone);
  EXPECT_EQ(run_with(), 0);
  EXPECT_TRUE(root.exists(live));
  EXPECT_EQ(stored("c/work/secret"), kDenied);
  EXPECT_EQ(stored("c/work/a"), "");
  EXPECT_EQ(log.count(recovered(1)), 2u);
}

// A change is on disk in the journal before it is made: a power cut after the change can only
// find it written down. Each DACL write lies in a window of the edit lock in which a read came
// first; the undo holds the lock across its restores, each of which takes it again. The command
// runs outside the lock.
TEST_F(Recovery, EachChangeIsJournaledAndLockedBeforeItIsMade) {
  root.make_dir("c/work/a");
  root.make_dir("c/work/secret");
  std::filesystem::remove_all(root / kRunsDir);
  ASSERT_EQ(run_with({"C:\\work\\a"}, {"C:\\work\\secret", "C:\\work\\a"}, root / "c/work/a"), 0);
  bool on_disk = false, started = false, read_in_window = false;
  int depth = 0;
  std::size_t journaled = 0, writes = 0;
  std::string previous;
  for (const winsim::Call& call : winsim::trace()) {
    const std::string_view function = call.function;
    if (function == "WriteFile") on_disk = false;
    if (function == "FlushFileBuffers") on_disk = true;
    if (function == "WaitForSingleObject" && previous == "CreateMutexExW" && depth++ == 0)
      read_in_window = false;
    if (function == "ReleaseMutex") {
      EXPECT_EQ(call.key, "Global\\tavo-sandbox-dacl-edit");
      EXPECT_GE(--depth, 0);
    }
    if (function == "GetSecurityInfo" || function == "GetKernelObjectSecurity")
      read_in_window = read_in_window || depth > 0;
    if (function == "CreateProcessW") {
      started = true;
      EXPECT_EQ(depth, 0);
    }
    if (function == "SetSecurityInfo" || function == "SetKernelObjectSecurity") {
      EXPECT_TRUE(depth > 0 && read_in_window) << function << " " << call.key;
      ++writes;
      // The NUL device's grant is kept by every run and never journaled.
      if (!started && function == "SetSecurityInfo" && call.key.find("NUL") == std::string::npos) {
        EXPECT_TRUE(on_disk) << call.key;
        ++journaled;
      }
    }
    previous = call.function;
  }
  EXPECT_EQ(depth, 0);
  EXPECT_EQ(journaled, 3u);
  // Traversal of C:\work and C:\, the NUL device, the three changes and the two denies' undo.
  EXPECT_EQ(writes, 8u);
  EXPECT_TRUE(std::filesystem::is_empty(root / kRunsDir));
}

}  // namespace
}  // namespace tavo
