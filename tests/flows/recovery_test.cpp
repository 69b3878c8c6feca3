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

ProcessIdentity identity_of(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  EXPECT_NE(process, nullptr);
  FILETIME created{}, exited{}, kernel{}, user{};
  EXPECT_TRUE(GetProcessTimes(process, &created, &exited, &kernel, &user));
  CloseHandle(process);
  return {pid, (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime};
}

class Recovery : public testing::MachineTest {
 protected:
  void SetUp() override {
    for (const char* d : {"c/work/a", "c/work/secret", kRunsDir})
      root.make_dir(d);
    root.write("sid", std::string(kTestSid) + "\n");
    // What a run killed during its command left: its grant and its deny in place.
    winsim::set_stored_sddl(root / "c/work/a", kGranted);
    winsim::set_stored_sddl(root / "c/work/secret", kDenied);
  }

  // A journal of that run, owned by `owner`.
  std::string write_journal(const ProcessIdentity& owner, std::string_view tail = "") {
    std::string text = journal_preamble(owner, kTestSid);
    for (auto [kind, path] : {std::pair{ChangeKind::Grant, "C:\\work\\a"},
                              std::pair{ChangeKind::Deny, "C:\\work\\secret"}}) {
      text += change_line({kind,
                           path,
                           root / (kind == ChangeKind::Grant ? "c/work/a" : "c/work/secret"),
                           {},
                           false});
    }
    const std::string name = std::string(kRunsDir) + "/" + journal_file_name(owner);
    root.write(name, text.append(tail));
    return name;
  }

  tavo::Run plain_run() const {
    tavo::Run run;
    run.profile_name = "p";
    run.sandbox_sid_file = root / "sid";
    run.command = "true";
    return run;
  }

  std::string stored(std::string_view name) const { return winsim::stored_sddl(root / name); }

  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
  testing::ScopedEnv local{"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"};
  // This process's id with another creation time: a run that is gone.
  const ProcessIdentity gone{GetCurrentProcessId(), current_process()->created - 1};
};

// A run killed before its command started loses its grants and its denies; one killed while its
// command ran keeps its grants, as it would have on completion. A cleanup recovers as a run does.
TEST_F(Recovery, TheNextRunUndoesWhatAGoneRunLeftAsThatRunWouldHave) {
  const std::string journal = write_journal(gone);
  testing::LogCapture log(Level::Info);
  EXPECT_EQ(run_sandboxed(plain_run()), 0);
  EXPECT_EQ(stored("c/work/a"), "");
  EXPECT_EQ(stored("c/work/secret"), "");
  EXPECT_FALSE(root.exists(journal));
  EXPECT_EQ(log.count(format("recovered interrupted run {}: 2 change(s) undone", gone.pid)), 1u)
      << log.text();

  winsim::set_stored_sddl(root / "c/work/a", kGranted);
  winsim::set_stored_sddl(root / "c/work/secret", kDenied);
  write_journal(gone, kStartedLine);
  EXPECT_EQ(cleanup({"p", {}, root / "sid"}), 0);
  EXPECT_EQ(stored("c/work/a"), kGranted);
  EXPECT_EQ(stored("c/work/secret"), "");
  EXPECT_EQ(log.count(format("recovered interrupted run {}: 1 change(s) undone", gone.pid)), 1u);
}

// An unreadable journal is kept aside for a person to read; a live run's journal is not touched,
// nor what it denied.
TEST_F(Recovery, UnreadableJournalsAreSetAsideAndLiveRunsLeftAlone) {
  const std::string damaged = write_journal(gone, "not a record\n");
  const std::string live = write_journal(identity_of(static_cast<DWORD>(getppid())));
  testing::LogCapture log(Level::Warn);
  EXPECT_EQ(run_sandboxed(plain_run()), 0);
  EXPECT_FALSE(root.exists(damaged));
  EXPECT_TRUE(root.exists(set_aside_name(damaged)));
  EXPECT_TRUE(log.contains("set aside as")) << log.text();
  EXPECT_TRUE(root.exists(live));
  EXPECT_EQ(stored("c/work/secret"), kDenied);
  EXPECT_EQ(stored("c/work/a"), kGranted);
}

// A change is on disk in the journal before it is made: a power cut after the change can only
// find it written down.
TEST_F(Recovery, EachChangeIsFlushedToTheJournalBeforeItIsMade) {
  std::filesystem::remove_all(root / kRunsDir);
  tavo::Run run = plain_run();
  run.grant_rw = {"C:\\work\\a"};
  run.deny_access = {"C:\\work\\secret", "C:\\work\\a"};
  winsim::set_stored_sddl(root / "c/work/a", "");
  ASSERT_EQ(run_sandboxed(run), 0);
  bool on_disk = false;
  std::size_t changes = 0;
  for (const winsim::Call& call : winsim::trace()) {
    if (call.function == "CreateProcessW") break;
    if (call.function == "WriteFile") on_disk = false;
    if (call.function == "FlushFileBuffers") on_disk = true;
    // The NUL device's grant is kept by every run and never journaled.
    if (call.function == "SetSecurityInfo" && call.key.find("NUL") == std::string::npos) {
      EXPECT_TRUE(on_disk) << call.key;
      ++changes;
    }
  }
  EXPECT_EQ(changes, 3u);
  EXPECT_TRUE(std::filesystem::is_empty(root / kRunsDir));
}

}  // namespace
}  // namespace tavo
