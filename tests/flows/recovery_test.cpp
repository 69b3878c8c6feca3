// What runs take back: their own changes, and what killed runs left in their journals.
#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "acl/acl.h"
#include "acl/deny_hold.h"
#include "cleanup.h"
#include "run_journal/journal_store.h"
#include "run_journal/journal_text.h"
#include "run_journal/other_runs.h"
#include "run_journal/process_identity.h"
#include "run_journal/undo_log.h"
#include "run_mode.h"
#include "support/env.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"
#include "win/file_identity.h"
#include "win/wide.h"

namespace tavo {
namespace {

using testing::kOtherSid;
using testing::kTestSid;

// A folder with the deny entry a run places, and as earlier versions denied it (protected).
constexpr const char* kDenied = "D:(D;OICI;0x1f01ff;;;S-1-15-2-1-2-3-4-5-6-7)";
constexpr const char* kDeniedProtected = "D:P(D;OICI;0x1f01ff;;;S-1-15-2-1-2-3-4-5-6-7)";
constexpr const char* kGranted = "D:(A;OICI;0x1301bf;;;S-1-15-2-1-2-3-4-5-6-7)";
constexpr const char* kRunsDir = "c/Users/u/AppData/Local/Tavo/runs";

// A stored DACL as the model sees it: its protection and explicit entries, in any order.
using View = std::pair<bool, std::set<std::string>>;

View view_of(const std::string& sddl) {
  View view{sddl.starts_with("D:P"), {}};
  for (std::size_t at = sddl.find('('); at != std::string::npos; at = sddl.find('(', at + 1)) {
    const std::string entry = sddl.substr(at, sddl.find(')', at) + 1 - at);
    if (entry.substr(3, entry.find(';', 3) - 3).find("ID") == std::string::npos)
      view.second.insert(entry);
  }
  return view;
}

// The objects of the random runs as they start: plain, an owner's protected folder, protected
// with the first SID's deny (as a registration leaves it), granted to the other SID.
constexpr std::pair<const char*, const char*> kObjects[] = {
    {"f0", ""},
    {"f1", "D:P(A;OICI;0x1f01ff;;;S-1-5-18)"},
    {"f2", "D:P(D;OICI;0x1201bf;;;S-1-15-2-1-2-3-4-5-6-7)(A;OICI;0x1f01ff;;;S-1-5-18)"},
    {"f3", "D:(A;OICI;0x1301bf;;;S-1-15-2-7-6-5-4-3-2-1)"},
    {"f0/file.txt", ""}};

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
    return journal_of(owner, {{ChangeKind::Grant, "a"}, {ChangeKind::DenyEntry, "secret"}}, tail);
  }

  // killed_run as an earlier version left it: its deny protected the folder.
  std::string legacy_killed_run(const ProcessIdentity& owner) {
    const std::string name = killed_run(owner);
    std::string text = root.read(name);
    text.replace(0, kJournalHeader.size(), kJournalHeaderVersion2);
    text.replace(text.find("deny-entry 0 1 D:0x3:0x1f01ff"), 29, "deny 0 0");
    root.write(name, text);
    winsim::set_stored_sddl(root / "c/work/secret", kDeniedProtected);
    return name;
  }

  // The journal of a gone run that made `changes` to folders of C:\work, as it records them;
  // `identities` false: as an earlier version wrote it, without them.
  std::string journal_of(const ProcessIdentity& owner,
                         const std::vector<std::pair<ChangeKind, std::string>>& changes,
                         std::string_view tail = "", bool identities = true) {
    std::string text = journal_preamble(owner, kTestSid);
    if (!identities) text.replace(0, kJournalHeader.size(), kJournalHeaderVersion1);
    for (const auto& [kind, name] : changes) {
      const std::string path = windows_path(name);
      std::vector<SidEntry> entries;
      if (kind == ChangeKind::DenyEntry) entries = {{ACCESS_DENIED_ACE_TYPE, 0x3, 0x1f01ff}};
      const DaclChange change{.kind = kind,
                              .path = path,
                              .object = "\\\\?\\" + path,
                              .identity = identities ? identity_at(path) : std::nullopt,
                              .entries = entries,
                              .was_protected = false};
      std::string line = change_line(change);
      if (!identities) line.erase(line.find(" - "), 2);  // as a version-1 journal has it
      text += line;
    }
    const std::string name = std::string(kRunsDir) + "/" + journal_file_name(owner);
    root.write(name, text.append(tail));
    return name;
  }

  // C:\\work\\NAME, for NAME in the host's form.
  static std::string windows_path(std::string name) {
    std::replace(name.begin(), name.end(), '/', '\\');
    return "C:\\work\\" + name;
  }

  static std::optional<FileIdentity> identity_at(const std::string& path) {
    const unique_handle object(CreateFileW(to_wide_nul(path).c_str(), FILE_READ_ATTRIBUTES, 0,
                                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                           nullptr));
    auto identity = identity_of(object.get());
    return identity ? std::optional(*identity) : std::nullopt;
  }

  // C:\work\NAME moved to NAME.moved, its security with it, and a link to `target` in its place,
  // as a command given its parent could do.
  void swap_for_link(const std::string& name, const std::string& target) const {
    const std::string folder = windows_path(name);
    ASSERT_TRUE(
        MoveFileExW(to_wide_nul(folder).c_str(), to_wide_nul(folder + ".moved").c_str(), 0));
    std::filesystem::create_directory_symlink(root / ("c/work/" + target),
                                              root / ("c/work/" + name));
  }

  tavo::Run run_of(std::string sid_file = "sid") const {
    tavo::Run run;
    run.profile_name = "p";
    run.sandbox_sid_file = root / sid_file;
    run.command = "true";
    return run;
  }

  std::string stored(std::string_view name) const { return winsim::stored_sddl(root / name); }
  std::string recovered(std::size_t undone) const {
    return format("recovered interrupted run {}: {} change(s) undone", gone.pid, undone);
  }

  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
  testing::ScopedEnv local{"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"};
  // This process's id with another creation time: a run that is gone.
  const ProcessIdentity gone{GetCurrentProcessId(), current_process()->created - 1};

  // The test's parent process, standing for a live run.
  static ProcessIdentity live_run() {
    HANDLE parent = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(getppid()));
    FILETIME created{}, unused[3]{};
    EXPECT_TRUE(GetProcessTimes(parent, &created, &unused[0], &unused[1], &unused[2]));
    CloseHandle(parent);
    return {DWORD(getppid()),
            (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime};
  }
};

// A gone run's changes are undone as its own end would have: all of them before its command
// started, its denies after, but not a deny entry another live process holds. Cleanup recovers as
// a run does; an unreadable journal is set aside, a live run's is left alone.
// Proves J5 (grants taken back only before "started"), J7 and J8.
TEST_F(Recovery, TheNextRunUndoesWhatAGoneRunLeftAsThatRunWouldHave) {
  testing::LogCapture log(Level::Info);
  const std::string damaged = killed_run({gone.pid, 1}, "not a record\n");
  const std::string journal = killed_run(gone);
  EXPECT_EQ(run_sandboxed(run_of()), 0);
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

  // A live process holds the deny (as a run of any user that needs it does): it stays.
  {
    killed_run(gone);
    const DenyHold held =
        DenyHold::take(kTestSid, *identity_at("C:\\work\\secret"), HoldKind::Need);
    EXPECT_EQ(run_sandboxed(run_of()), 0);
    EXPECT_EQ(stored("c/work/secret"), kDenied);
    EXPECT_EQ(log.count(recovered(1)), 2u);
  }

  // The test's parent process stands for a live run: its journal is not read.
  const std::string live = killed_run(live_run());
  EXPECT_EQ(run_sandboxed(run_of()), 0);
  EXPECT_EQ(stored("c/work/a"), kGranted);
  EXPECT_TRUE(root.exists(live));
  std::filesystem::remove(root / live);

  // An earlier version's deny is taken back as it was, unless a live run's journal has it too.
  const std::string live_legacy = legacy_killed_run(live_run());
  legacy_killed_run(gone);
  EXPECT_EQ(run_sandboxed(run_of()), 0);
  EXPECT_EQ(stored("c/work/a"), "");
  EXPECT_EQ(stored("c/work/secret"), kDeniedProtected);
  EXPECT_EQ(log.count(recovered(1)), 3u);
  std::filesystem::remove(root / live_legacy);
  legacy_killed_run(gone);
  EXPECT_EQ(run_sandboxed(run_of()), 0);
  EXPECT_EQ(stored("c/work/a"), "");
  EXPECT_EQ(stored("c/work/secret"), "");
}

// One reading of the other runs' journals tells each run live or gone once; the undo's look-ups
// ask it nothing more of the platform, and recovery takes the gone runs' journals out of it.
// Proves J8.
TEST_F(Recovery, OneReadingTellsEachRunLiveOrGoneOnce) {
  // The live run holds an earlier version's protecting deny of C:\work\secret; the gone one
  // placed a deny entry there.
  legacy_killed_run(live_run());
  const std::string gone_journal = killed_run(gone);

  const OtherRuns others(*journal_dir());
  ASSERT_EQ(others.runs().size(), 2u);
  for (const OtherRun& run : others.runs())
    EXPECT_EQ(run.live, run.journal.owner == live_run()) << run.journal.path;
  const std::vector<StoredJournal> taken = others.gone_journals();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].owner, gone);
  ASSERT_TRUE(taken[0].contents && taken[0].contents->changes.size() == 2);

  const std::size_t looked_at = winsim::count_calls("OpenProcess");
  const DaclChange& deny = taken[0].contents->changes.back();
  EXPECT_NE(others.live_deny(kTestSid, deny), nullptr);
  EXPECT_EQ(others.live_deny(kOtherSid, deny), nullptr);
  EXPECT_TRUE(others.deny_entry_of_gone_run(kTestSid, deny));
  EXPECT_FALSE(others.deny_entry_of_gone_run(kOtherSid, deny));
  EXPECT_EQ(winsim::count_calls("OpenProcess"), looked_at);
  EXPECT_TRUE(root.exists(gone_journal));  // a reading changes nothing
}

// Just before the launch, a deny entry someone removed meanwhile is put back, whoever placed it,
// and nothing is written where it stands; the run then takes it back when it ends, as one it
// placed. One it did not place is journaled (on disk) before it is written back, so a run killed
// at any point after that leaves no deny its recovery does not know about.
TEST_F(Recovery, ADenyRemovedBeforeTheLaunchIsPutBack) {
  root.make_dir("c/work/secret");
  root.make_dir("c/work/cred");
  winsim::set_stored_sddl(root / "c/work/cred", kDenied);  // as a registration leaves it
  const SandboxSid sid = testing::make_sid();
  {
    DaclEditLock lock;
    UndoLog undo(sid.get(), lock);
    for (const char* name : {"secret", "cred"})
      ASSERT_TRUE(deny_access(sid.get(), windows_path(name), lock.hold(), &undo));
    for (const char* name : {"secret", "cred"})
      ASSERT_TRUE(revoke_access(sid.get(), windows_path(name), lock.hold()));
    const std::size_t before = winsim::trace().size();
    undo.put_back_removed_denies();
    EXPECT_EQ(stored("c/work/secret"), kDenied);
    EXPECT_EQ(stored("c/work/cred"), kDenied);

    const std::vector<winsim::Call>& calls = winsim::trace();
    const auto at = [&](std::string_view function, std::string_view key_part) {
      return std::find_if(calls.begin() + before, calls.end(), [&](const winsim::Call& call) {
        return call.function == function && call.key.find(key_part) != std::string::npos;
      });
    };
    EXPECT_LT(at("FlushFileBuffers", ".journal"), at("SetSecurityInfo", "cred"));
    const std::vector<StoredJournal> journals = read_journals(journal_paths(root / kRunsDir));
    ASSERT_EQ(journals.size(), 1u);
    ASSERT_TRUE(journals[0].contents) << journals[0].contents.error();
    const std::vector<DaclChange>& journaled = journals[0].contents->changes;
    ASSERT_EQ(journaled.size(), 2u);
    EXPECT_EQ(journaled[1].path, "\\\\?\\" + windows_path("cred"));
    EXPECT_EQ(journaled[1].kind, ChangeKind::DenyEntry);
    const std::size_t writes = winsim::count_calls("SetSecurityInfo");
    undo.put_back_removed_denies();
    EXPECT_EQ(winsim::count_calls("SetSecurityInfo"), writes);
  }
  EXPECT_EQ(stored("c/work/secret"), "");
  EXPECT_EQ(stored("c/work/cred"), "");
}

// Recovery reads only what the sandbox cannot have written. A journal folder that inherits a
// grant of the SID (a run granted the profile folder) goes aside unread and a private one takes
// its place; so does a journal the SID may change, one naming a SID that is no AppContainer's,
// and one too large to be a journal, which is not read at all. None of them is recovered.
// Proves J6.
TEST_F(Recovery, NothingTheSandboxCouldWriteIsRecovered) {
  testing::LogCapture log(Level::Info);
  const std::string planted = killed_run(gone);
  winsim::set_stored_sddl(root / "c/Users/u", kGranted);
  EXPECT_EQ(run_sandboxed(run_of()), 0);
  EXPECT_EQ(stored("c/work/a"), kGranted);
  EXPECT_EQ(stored("c/work/secret"), kDenied);
  std::vector<std::string> aside;
  for (const auto& entry : std::filesystem::directory_iterator(root / "c/Users/u/AppData/Local"))
    aside.push_back(entry.path().filename().string());
  ASSERT_EQ(aside.size(), 2u);
  std::ranges::sort(aside);
  EXPECT_EQ(aside[0], "Tavo");
  ASSERT_TRUE(aside[1].starts_with("Tavo.untrusted-")) << aside[1];
  EXPECT_TRUE(
      root.exists("c/Users/u/AppData/Local/" + aside[1] + "/runs/" + journal_file_name(gone)));
  EXPECT_TRUE(
      log.contains("[WARN  tavo_sandbox] run journal folder C:\\Users\\u\\AppData\\Local\\Tavo "
                   "lets S-1-15-2-1-2-3-4-5-6-7 change it or its entries (rights 0x10006"
                   "): moved aside as C:\\Users\\u\\AppData\\Local\\" +
                   aside[1] + ", never read"))
      << log.text();
  // Made private, whatever is above them.
  for (const char* folder : {"c/Users/u/AppData/Local/Tavo", kRunsDir}) {
    EXPECT_EQ(stored(folder), "D:P(A;OICI;0x1f01ff;;;" + std::string(winsim::kUserSid) +
                                  ")(A;OICI;0x1f01ff;;;S-1-5-18)(A;OICI;0x1f01ff;;;S-1-5-32-544)");
  }
  EXPECT_FALSE(log.contains("recovered interrupted run"));

  // In the private folder: journals the SID may change, of a SID no AppContainer has, of 1 GiB.
  const std::string writable = killed_run({gone.pid, 1});
  winsim::set_stored_sddl(root / writable, kGranted);
  root.write(
      std::string(kRunsDir) + "/" + journal_file_name({gone.pid, 2}),
      journal_preamble({gone.pid, 2}, "S-1-1-0") +
          change_line(
              {ChangeKind::Grant, "C:\\work\\a", "\\\\?\\C:\\work\\a", std::nullopt, {}, false}));
  const std::string huge = std::string(kRunsDir) + "/" + journal_file_name({gone.pid, 3});
  root.write(huge, "");
  std::filesystem::resize_file(root / huge, std::uintmax_t{1} << 30);
  EXPECT_EQ(run_sandboxed(run_of()), 0);
  EXPECT_EQ(stored("c/work/a"), kGranted);
  EXPECT_EQ(stored("c/work/secret"), kDenied);
  EXPECT_FALSE(log.contains("recovered interrupted run"));
  for (const std::string& reason :
       {std::string("it lets S-1-15-2-1-2-3-4-5-6-7 change it or its entries (rights 0x10006)"),
        std::string("its SID S-1-1-0 is not an AppContainer SID"),
        std::string("it is larger than 4194304 bytes (1073741824 bytes)")}) {
    EXPECT_TRUE(log.contains(reason + ") set aside as")) << reason << "\n" << log.text();
  }
  EXPECT_EQ(std::filesystem::file_size(root / set_aside_name(huge)), std::uintmax_t{1} << 30);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root / kRunsDir),
                          std::filesystem::directory_iterator()),
            3);  // all three set aside, nothing else
}

// A gone run's deny is taken back on the folder it was made on, wherever that folder is now;
// nothing is written through a name that leads elsewhere now: not through a link put in the
// folder's place (an older journal, which knows only the name, leaves it denied, with a warning),
// and not where an object is gone.
TEST_F(Recovery, AGoneRunsChangesAreUndoneOnTheirObjectsNeverThroughAName) {
  testing::LogCapture log(Level::Warn);
  for (const char* name : {"a/b", "private", "gone"})
    root.make_dir("c/work/" + std::string(name));
  const std::string owner_choice = "D:P(A;OICI;0x1f01ff;;;S-1-5-18)";
  winsim::set_stored_sddl(root / "c/work/private", owner_choice);
  winsim::set_stored_sddl(root / "c/work/a/b", kDenied);
  winsim::set_stored_sddl(root / "c/work/gone", kGranted);
  journal_of(gone, {{ChangeKind::Grant, "gone"}, {ChangeKind::DenyEntry, "a/b"}});
  std::filesystem::remove(root / "c/work/gone");
  swap_for_link("a/b", "private");
  ASSERT_EQ(run_sandboxed(run_of()), 0);
  EXPECT_EQ(stored("c/work/private"), owner_choice);
  EXPECT_EQ(stored("c/work/a/b.moved"), "");
  EXPECT_TRUE(log.contains("rollback revoke \\\\?\\C:\\work\\gone left alone: object "))
      << log.text();

  std::filesystem::remove(root / "c/work/a/b");
  std::filesystem::rename(root / "c/work/a/b.moved", root / "c/work/a/b");
  winsim::set_stored_sddl(root / "c/work/a/b", kDeniedProtected);
  journal_of(gone, {{ChangeKind::Deny, "a/b"}}, "", false);
  swap_for_link("a/b", "private");
  ASSERT_EQ(run_sandboxed(run_of()), 0);
  EXPECT_EQ(stored("c/work/private"), owner_choice);
  EXPECT_EQ(stored("c/work/a/b.moved"), kDeniedProtected);
  EXPECT_TRUE(log.contains(
      "rollback deny-revoke \\\\?\\C:\\work\\a\\b left alone: \\\\?\\C:\\work\\a\\b is a link now"))
      << log.text();
  EXPECT_TRUE(std::filesystem::is_empty(root / kRunsDir));
}

// A change is on disk in the journal before it is made, and each DACL write is in a window of
// the edit lock that its read began; the command runs outside the lock, and the lock is opened
// once and never taken again while held.
// Proves J1 and J9.
TEST_F(Recovery, NoChangeIsMadeBeforeItIsJournaledUnderTheLock) {
  root.make_dir("c/work/a");
  root.make_dir("c/work/secret");
  std::filesystem::remove_all(root / "c/Users/u/AppData/Local/Tavo");  // made private by the run
  tavo::Run run = run_of();
  run.grant_rw = {"C:\\work\\a"};
  run.deny_access = {"C:\\work\\secret", "C:\\work\\a"};
  run.cwd = root / "c/work/a";
  ASSERT_EQ(run_sandboxed(run), 0);
  bool on_disk = false, started = false, read_in_window = false;
  int depth = 0;
  std::size_t journaled = 0, writes = 0, lock_opened = 0;
  for (const winsim::Call& call : winsim::trace()) {
    const std::string_view function = call.function;
    if (function == "CreateMutexExW" && call.key == "Global\\tavo-sandbox-dacl-edit") ++lock_opened;
    if (function == "WriteFile") on_disk = false;
    if (function == "FlushFileBuffers") on_disk = true;
    // The lock is never taken while held.
    if (function == "WaitForSingleObject" && call.key == "Global\\tavo-sandbox-dacl-edit") {
      EXPECT_EQ(depth++, 0);
      read_in_window = false;
    }
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
  }
  EXPECT_EQ(depth, 0);
  EXPECT_EQ(lock_opened, 1u);  // the deny holds are mutexes of their own
  EXPECT_EQ(journaled, 3u);
  // Traversal of C:\work and C:\, the NUL device, the three changes and the two denies' undo.
  EXPECT_EQ(writes, 8u);
  EXPECT_TRUE(std::filesystem::is_empty(root / kRunsDir));
}

// Random runs of two SIDs, some with a failing call, leave only what stood before them and the
// grants of runs whose command ran.
// Proves J4 and J5 against a model.
TEST_F(Recovery, RandomRunsLeaveWhatTheModelSays) {
  root.write("c/work/f0/file.txt", "x");
  root.write("b.sid", std::string(kOtherSid) + "\n");
  for (const auto& [name, sddl] : kObjects) {
    if (*sddl == '\0') continue;
    root.make_dir("c/work/" + std::string(name));
    winsim::set_stored_sddl(root / ("c/work/" + std::string(name)), sddl);
  }
  auto actual = [&] {
    std::map<std::string, View> views;
    for (const auto& [name, sddl] : kObjects)
      views[name] = view_of(stored("c/work/" + std::string(name)));
    return views;
  };
  std::mt19937 random(20261206);
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  std::map<std::string, View> model = actual();
  int checked = 0, failed_runs = 0, completed = 0;
  const int runs = 300;
  for (int i = 0; i < runs; ++i) {
    const bool use_a = pick(2) == 0;
    const std::string sid(use_a ? kTestSid : kOtherSid);
    tavo::Run run = run_of(use_a ? "sid" : "b.sid");
    run.command = pick(10) == 0 ? "no-such-program-here" : "sh";
    run.args = {"-c", "exit " + std::to_string(pick(4))};
    std::vector<std::pair<std::string, std::string>> grants;  // object, mask, in order applied
    // Objects of the run, each under one of two spellings.
    auto add = [&](std::vector<std::string>& list, const char* mask, std::size_t count) {
      for (; count > 0; --count) {
        const std::string object = kObjects[pick(std::size(kObjects))].first;
        list.push_back((pick(3) == 0 ? "C:\\work\\..\\work\\" : "C:\\work\\") + object);
        if (mask != nullptr) grants.emplace_back(object, mask);
      }
    };
    add(run.grant_rw, "0x1301bf", pick(3));
    add(run.grant_r, "0x1200a9", pick(2));
    add(run.deny_access, nullptr, pick(3));
    if (pick(5) < 2) winsim::fail_call_number(1 + pick(150), ERROR_ACCESS_DENIED);

    testing::LogCapture log(Level::Warn);
    const int status = run_sandboxed(run);
    winsim::clear_faults();
    SCOPED_TRACE("run " + std::to_string(i) + ", status " + std::to_string(status) + "\n" +
                 log.text());
    ASSERT_TRUE(status <= 3 || status == 12 || status == 13 || status == 14);
    if (log.contains("rollback")) {
      // The fault hit an undo: what it left is warned about, not modelled.
      model = actual();
      continue;
    }
    // A completed run's grants stay as SET_ACCESS leaves them: the SID's one entry.
    for (const auto& [name, mask] : status <= 3 ? grants : decltype(grants){}) {
      std::erase_if(model[name].second,
                    [&](const std::string& e) { return e.find(sid) != e.npos; });
      model[name].second.insert("(A;OICI;" + mask + ";;;" + sid + ")");
    }
    ++(status <= 3 ? completed : failed_runs);
    for (const auto& [name, view] : actual())
      EXPECT_EQ(view, model[name]) << name;
    ++checked;
    if (::testing::Test::HasFailure()) break;
  }
  // Most runs are checked, and both outcomes occur often.
  EXPECT_GT(checked, runs * 9 / 10);
  EXPECT_GT(completed, runs / 3);
  EXPECT_GT(failed_runs, runs / 10);
}

}  // namespace
}  // namespace tavo
