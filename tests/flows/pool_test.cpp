// Registering a pool of sandbox profiles against winsim: the pool directory's files, the loopback
// list, which failures end the registration and what they leave behind.
#include "sandbox_profile/pool.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "entry.h"
#include "flows/admin_machine.h"
#include "flows/host_processes.h"
#include "support/faults.h"
#include "support/log_capture.h"
#include "win/error.h"

namespace tavo {
namespace {

using Entries = std::vector<std::pair<std::string, DWORD>>;
using testing::first_call_of;
using testing::last_call_of;

constexpr std::string_view kPoolDir = "C:\\ProgramData\\Tavo\\pool";
const std::string kOtherSoftware = "S-1-15-2-9-8-7-6-5-4-3";

class Pool : public testing::AdminMachine {
 protected:
  Pool() { forget_looked_up_functions(); }

  struct Outcome {
    int status;
    std::string out;
  };
  Outcome register_through_entry(std::string_view size) {
    int status;
    {
      testing::RedirectedDescriptor out(1, root / "stdout", O_WRONLY | O_CREAT | O_TRUNC);
      status = run_program({"tavo-sandbox", "--register-pool", "--pool-size", std::string(size),
                            "--pool-dir", std::string(kPoolDir)});
    }
    return {status, root.read("stdout")};
  }

  std::string pool_file(std::string_view name) const {
    return root.read("c/ProgramData/Tavo/pool/" + std::string(name));
  }
  std::vector<std::string> pool_names() const { return names_in(kPoolDir); }

  // The members' SIDs in member order.
  static std::vector<std::string> member_sids(int size) {
    std::vector<std::string> sids;
    for (int i = 0; i < size; ++i)
      sids.push_back(profile_sid("tavo-sandbox-pool-" + std::to_string(i)));
    return sids;
  }
  // The directory's names after a complete registration with these SIDs (and `others`).
  static std::vector<std::string> complete_pool(const std::vector<std::string>& sids,
                                                std::vector<std::string> others = {}) {
    others.push_back(".registration-version");
    for (const std::string& sid : sids)
      others.push_back(sid + ".dat");
    std::sort(others.begin(), others.end());
    return others;
  }
};

// The faultable number of the `occurrence`-th call of `function` whose key is exactly `key`, in
// the calls `action` makes.
std::size_t faultable_number_of_key(const std::function<void()>& action, std::string_view function,
                                    std::string_view key, std::size_t occurrence) {
  const std::size_t first = winsim::trace().size();
  action();
  std::size_t number = 0;
  for (std::size_t i = first; i < winsim::trace().size(); ++i) {
    const winsim::Call& call = winsim::trace()[i];
    if (!call.faultable) continue;
    ++number;
    if (call.function == function && call.key == key && --occurrence == 0) return number;
  }
  ADD_FAILURE() << function << " " << key << " is not called that often";
  return 0;
}

TEST_F(Pool, APoolOfOne) {
  testing::LogCapture log(Level::Info);
  const Outcome outcome = register_through_entry("1");
  ASSERT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "");
  const std::string sid = profile_sid("tavo-sandbox-pool-0");
  EXPECT_EQ(winsim::profiles(), std::vector<std::string>{"tavo-sandbox-pool-0=" + sid});
  EXPECT_EQ(pool_names(), complete_pool({sid}));
  EXPECT_EQ(pool_file(sid + ".dat"), sid + "\n");

  const std::string profile = "[INFO  tavo_sandbox::sandbox_profile] ";
  EXPECT_TRUE(log.contains(profile + "[1/1] profile=tavo-sandbox-pool-0\n"));
  EXPECT_TRUE(log.contains(profile + "[1/1] SID=" + sid + "\n"));
  EXPECT_TRUE(
      log.contains(profile + "[1/1] written C:\\ProgramData\\Tavo\\pool\\" + sid + ".dat\n"));
  EXPECT_EQ(log.count("] ["), log.count("] [1/1] "));
  EXPECT_EQ(log.lines().back(),
            "[INFO  tavo_sandbox] registered 1 pool SIDs in 'C:\\ProgramData\\Tavo\\pool'\n");
}

TEST_F(Pool, APoolOfThreeIsExemptAfterOtherSoftwareAndMarkedLast) {
  winsim::set_loopback_list({{kOtherSoftware, 1}});
  auto written = register_pool(3, kPoolDir);
  ASSERT_TRUE(written) << written.error().display();
  EXPECT_EQ(*written, 3u);

  const std::vector<std::string> sids = member_sids(3);
  EXPECT_EQ(pool_names(), complete_pool(sids));
  for (const std::string& sid : sids)
    EXPECT_EQ(pool_file(sid + ".dat"), sid + "\n");
  EXPECT_EQ(pool_file(".registration-version"), "1\n");
  EXPECT_EQ(winsim::loopback_entries(),
            (Entries{{kOtherSoftware, 1}, {sids[0], 0}, {sids[1], 0}, {sids[2], 0}}));
  // Each member's own package directory, for that member only.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(
        stored("C:\\Users\\ann\\AppData\\Local\\Packages\\tavo-sandbox-pool-" + std::to_string(i)),
        "D:(A;OICI;0x1301bf;;;" + sids[i] + ")");
  }

  // SID files only once every member is exempt; the marker after every other change.
  EXPECT_LT(last_call_of("NetworkIsolationSetAppContainerConfig"),
            first_call_of("CreateFileW", ".dat"));
  const std::size_t marker = first_call_of("CreateFileW", ".registration-version");
  ASSERT_NE(marker, 0u);
  for (const char* change : {"SetNamedSecurityInfoW", "SetFileSecurityW", "SetSecurityInfo",
                             "CreateProcessW", "CreateDirectoryW"}) {
    EXPECT_LT(last_call_of(change), marker) << change;
  }
}

TEST_F(Pool, OldSidFilesGoAndEverythingElseStays) {
  root.write("c/ProgramData/Tavo/pool/old.dat", "S-1-15-2-1-1-1-1-1-1-1\n");
  root.write("c/ProgramData/Tavo/pool/notes.txt", "keep me\n");
  root.write("c/ProgramData/Tavo/pool/a.DAT", "not ours\n");
  root.make_dir("c/ProgramData/Tavo/pool/cache.dat");
  testing::LogCapture log(Level::Warn);
  auto written = register_pool(1, kPoolDir);
  ASSERT_TRUE(written) << written.error().display();
  EXPECT_EQ(log.text(),
            "[WARN  tavo_sandbox::pool_version] clear_pool_dats: failed to remove "
            "C:\\ProgramData\\Tavo\\pool\\cache.dat: " +
                IoError::from_win32(ERROR_ACCESS_DENIED).display() + "\n");
  EXPECT_EQ(pool_names(), complete_pool(member_sids(1), {"a.DAT", "cache.dat", "notes.txt"}));
  EXPECT_EQ(pool_file("notes.txt"), "keep me\n");
}

TEST_F(Pool, TheNulDeviceFailingForMemberTwoLeavesOnlyMemberOnesFile) {
  const std::size_t second_nul = testing::faultable_number_of(
      [] { ASSERT_TRUE(register_pool(3, kPoolDir)); }, "SetSecurityInfo", 2);
  ASSERT_NE(second_nul, 0u);
  start_over();
  forget_looked_up_functions();

  winsim::fail_call_number(second_nul, ERROR_ACCESS_DENIED);
  testing::LogCapture log(Level::Error);
  const Outcome outcome = register_through_entry("3");
  EXPECT_EQ(outcome.status, 13);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(log.text(),
            "[ERROR tavo_sandbox] register pool failed: [2/3] NUL device grant failed (critical): "
            "SetSecurityInfo NUL failed: 5 (0x00000000)\n");
  EXPECT_EQ(pool_names(), std::vector<std::string>{member_sids(1)[0] + ".dat"});
  EXPECT_TRUE(icacls_runs().empty());
}

TEST_F(Pool, TheDriveRootGrantIsCritical) {
  root.make_dir("d");
  testing::ScopedEnv drive("SystemDrive", "D:");
  const std::size_t second_root = faultable_number_of_key(
      [] { ASSERT_TRUE(register_pool(3, kPoolDir)); }, "SetFileSecurityW", "D:\\", 2);
  start_over();
  forget_looked_up_functions();

  winsim::fail_call_number(second_root, ERROR_ACCESS_DENIED);
  auto written = register_pool(3, kPoolDir);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().display(),
            "[2/3] drive root traversal grant failed (critical): grant drive root traversal on "
            "D:\\ failed: " +
                HresultError::from_win32(ERROR_ACCESS_DENIED).display() + " (0x00000000)");
  // Every SID file was written before; the marker, PATH and tool caches come after.
  EXPECT_EQ(pool_names().size(), 3u);
  EXPECT_FALSE(root.exists("c/ProgramData/Tavo/pool/.registration-version"));
  EXPECT_TRUE(icacls_runs().empty());
}

// A SID file or marker whose writing fails is removed, not left behind cut short: a pool
// directory never holds a member file that cannot be read, nor a marker beside it.
TEST_F(Pool, AFileThatCannotBeWrittenIsNotLeftBehind) {
  const std::string denied = IoError::from_win32(ERROR_ACCESS_DENIED).display();
  const std::size_t marker_write =
      testing::faultable_number_of([] { ASSERT_TRUE(register_pool(2, kPoolDir)); }, "WriteFile", 3);
  const std::vector<std::string> sids = member_sids(2);

  start_over();
  forget_looked_up_functions();
  winsim::fail_next_call("WriteFile", "", ERROR_ACCESS_DENIED);
  auto written = register_pool(2, kPoolDir);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().display(),
            "write(C:\\ProgramData\\Tavo\\pool\\" + sids[0] + ".dat): " + denied + " (0x00000000)");
  EXPECT_TRUE(pool_names().empty());

  start_over();
  forget_looked_up_functions();
  winsim::fail_call_number(marker_write, ERROR_ACCESS_DENIED);
  written = register_pool(2, kPoolDir);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().display(), "write pool version file: " + denied + " (0x00000000)");
  EXPECT_EQ(pool_names(), (std::vector<std::string>{sids[0] + ".dat", sids[1] + ".dat"}));
}

TEST_F(Pool, WithoutLocalAppDataThePackageStepsAreSkippedSilently) {
  testing::ScopedEnv no_local("LOCALAPPDATA", std::nullopt);
  testing::LogCapture log;
  auto written = register_pool(2, kPoolDir);
  ASSERT_TRUE(written) << written.error().display();
  EXPECT_EQ(log.count("LOCALAPPDATA"), 0u);
  EXPECT_EQ(log.count("[WARN"), 0u) << log.text();
  EXPECT_TRUE(names_in("C:\\Users\\ann\\AppData\\Local\\Packages").empty());
  EXPECT_EQ(stored("C:\\Users\\ann\\AppData\\Local\\Packages"), "");
  EXPECT_EQ(pool_names(), complete_pool(member_sids(2)));
}

TEST_F(Pool, ARepeatedRegistrationRewritesTheSameFiles) {
  winsim::set_loopback_list({{kOtherSoftware, 1}});
  ASSERT_TRUE(register_pool(3, kPoolDir));
  std::map<std::string, std::string> first;
  for (const std::string& name : pool_names())
    first[name] = pool_file(name);
  const Entries loopback = winsim::loopback_entries();

  const std::vector<std::string> sids = member_sids(3);
  root.write("c/ProgramData/Tavo/pool/" + sids[1] + ".dat", "tampered\n");
  std::filesystem::remove(root / "c/ProgramData/Tavo/pool/.registration-version");
  ASSERT_TRUE(register_pool(3, kPoolDir));
  std::map<std::string, std::string> second;
  for (const std::string& name : pool_names())
    second[name] = pool_file(name);
  EXPECT_EQ(second, first);
  EXPECT_EQ(winsim::loopback_entries(), loopback);
  EXPECT_EQ(winsim::profiles().size(), 3u);
}

TEST_F(Pool, TheSizeIsCheckedBeforeAnythingIsCreated) {
  const std::size_t calls_before = winsim::faultable_calls();
  for (std::uint32_t size : {0u, 11u}) {
    auto written = register_pool(size, kPoolDir);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(),
              HresultError(0, "pool_size must be 1..=10, got " + std::to_string(size)));
  }
  EXPECT_FALSE(root.exists("c/ProgramData/Tavo"));
  EXPECT_TRUE(winsim::profiles().empty());
  EXPECT_EQ(winsim::faultable_calls(), calls_before);
}

}  // namespace
}  // namespace tavo
