// Runs of the built program overlapping on one simulated machine: several processes granting and
// denying the same folders at once, each run with a SID of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "e2e/runner.h"
#include "support/temp_dir.h"

namespace tavo::e2e {
namespace {

constexpr int kWorkers = 2;
constexpr int kRunsEach = 50;

class Overlap : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = unavailable()) GTEST_SKIP() << *reason;
    if (emulated()) GTEST_SKIP() << "needs the simulated machine shared by processes";
    root.make_dir("c/work/shared");
    root.make_dir("c/work/secret");
  }

  // Every worker runs its runs one after another, all workers at once. Each run grants the shared
  // folder and denies the secret one, under a profile of its own. A reading delay widens the
  // window between a DACL's read and its write, so that edits without the lock collide.
  void run_workers() {
    const std::string script =
        "for w in $(seq " + std::to_string(kWorkers) + "); do (for i in $(seq " +
        std::to_string(kRunsEach) +
        "); do \"$TAVO_BINARY\" --profile-name w$w-$i --grant-rw 'C:\\work\\shared' "
        "--deny-access 'C:\\work\\secret' -- /bin/true || echo \"run w$w-$i failed\"; done) & "
        "done; wait";
    const Outcome o = run_process({"sh", "-c", script}, {{"WINSIM_ROOT", root.path()},
                                                         {"WINSIM_STATE", root / "state"},
                                                         {"WINSIM_DACL_READ_DELAY_MS", "2"}});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "");  // every run completed
  }

  // The stored DACL of a folder, as the state file records it ("" without a record).
  std::string stored(const std::string& name) const {
    const std::string state = root.read("state"), key = "object\t" + (root / name) + "\t";
    const std::size_t at = state.find(key);
    return at == std::string::npos
               ? ""
               : state.substr(at + key.size(), state.find('\n', at) - at - key.size());
  }

  static std::size_t grants_in(const std::string& sddl) {
    const std::regex grant(R"(\(A;OICI;0x1301bf;;;S-1-15-2-[0-9-]+\))");
    return static_cast<std::size_t>(
        std::distance(std::sregex_iterator(sddl.begin(), sddl.end(), grant), {}));
  }

  testing::TempDir root;
};

// Every run's grant stays and no deny outlives its run. With the lock out of reach the same runs
// lose entries: the lock is what keeps them.
TEST_F(Overlap, EveryRunsGrantStaysAndNoDenyOutlivesItsRun) {
  run_workers();
  EXPECT_EQ(grants_in(stored("c/work/shared")), std::size_t{kWorkers * kRunsEach});
  EXPECT_EQ(stored("c/work/secret"), "");

  root.write("state", "winsim-state 1\nfault\tCreateMutexExW\tdacl-edit\t5\n");
  run_workers();
  EXPECT_TRUE(grants_in(stored("c/work/shared")) < std::size_t{kWorkers * kRunsEach} ||
              !stored("c/work/secret").empty());
}

}  // namespace
}  // namespace tavo::e2e
