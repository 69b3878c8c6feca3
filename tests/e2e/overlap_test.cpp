// Runs of the built program overlapping on one simulated machine: several processes granting and
// denying the same folders at once, each run with a SID of its own.
#include <gtest/gtest.h>

#include "e2e/runner.h"

namespace tavo::e2e {
namespace {

constexpr std::size_t kRuns = 2 * 50;

// Every run's grant stays, no deny outlives its run, and the shared ledger holds every run's
// record of its grant and of its NUL device entry. With the lock out of reach the same runs lose
// entries: the lock is what keeps them.
TEST(Overlap, EveryRunsGrantStaysAndNoDenyOutlivesItsRun) {
  if (auto reason = unavailable()) GTEST_SKIP() << *reason;
  if (emulated()) GTEST_SKIP() << "needs the simulated machine shared by processes";
  testing::TempDir root;
  root.make_dir("c/work/shared");
  root.make_dir("c/work/secret");
  // Two workers at once, each running 50 runs one after another; each run grants the shared
  // folder and denies the secret one, under a profile of its own. A reading delay widens the
  // window between a DACL's read and its write, so that edits without the lock collide.
  auto run_workers = [&] {
    const Outcome o = run_process(
        {"sh", "-c",
         "for w in 1 2; do (for i in $(seq 50); do \"$TAVO_BINARY\" --profile-name w$w-$i "
         "--grant-rw 'C:\\work\\shared' --deny-access 'C:\\work\\secret' -- /bin/true || "
         "echo \"run w$w-$i failed\"; done) & done; wait"},
        {{"WINSIM_ROOT", root.path()},
         {"WINSIM_STATE", root / "state"},
         {"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"},
         {"WINSIM_DACL_READ_DELAY_MS", "2"}});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "");  // every run completed
  };
  auto grants = [&] {
    const std::string sddl = stored_dacl(root, "c/work/shared"), grant = "(A;OICI;0x1301bf;;;";
    std::size_t n = 0;
    for (std::size_t at = sddl.find(grant); at != std::string::npos; at = sddl.find(grant, at + 1))
      ++n;
    return n;
  };
  run_workers();
  EXPECT_EQ(grants(), kRuns);
  EXPECT_EQ(stored_dacl(root, "c/work/secret"), "");
  const std::string ledger = root.read("c/Users/u/AppData/Local/Tavo/ledger/entries.ledger");
  std::size_t grant_records = 0;
  std::size_t nul_records = 0;
  for (std::size_t at = ledger.find('\n'); at != std::string::npos;
       at = ledger.find('\n', at + 1)) {
    grant_records += ledger.compare(at + 1, 8, "grant S-") == 0 ? 1 : 0;
    nul_records += ledger.compare(at + 1, 6, "nul S-") == 0 ? 1 : 0;
  }
  EXPECT_EQ(grant_records, kRuns);
  EXPECT_EQ(nul_records, kRuns);

  root.write("state", "winsim-state 1\nfault\tCreateMutexExW\tdacl-edit\t5\n");
  run_workers();
  EXPECT_TRUE(grants() < kRuns || !stored_dacl(root, "c/work/secret").empty());
}

}  // namespace
}  // namespace tavo::e2e
