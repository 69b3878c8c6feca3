#include "cleanup.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include "acl.h"
#include "sandbox_profile/profiles.h"
#include "sandbox_profile/sid.h"
#include "support/env.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"
#include "win/error.h"

namespace tavo {
namespace {

constexpr const char* kDash = "\xE2\x80\x94";

class CleanupMode : public testing::MachineTest {
 protected:
  void SetUp() override {
    for (const char* d : {"c/Windows", "c/work/a", "c/work/b", "c/work/c"})
      root.make_dir(d);
  }

  // The profile "build-1" with read-write grants on the given directories.
  SandboxSid profile_with_grants(std::initializer_list<const char*> paths) {
    auto sid = ensure_profile("build-1");
    EXPECT_TRUE(sid);
    for (const char* path : paths)
      EXPECT_TRUE(grant_access(sid->get(), path, AccessLevel::ReadWrite));
    return std::move(*sid);
  }

  std::string sid_file_for(PSID sid) {
    root.write("shared.sid", *sid_to_sddl(sid) + "\n");
    return root / "shared.sid";
  }

  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
};

TEST_F(CleanupMode, ADerivedSidIsRevokedAndItsProfileDeleted) {
  SandboxSid sid = profile_with_grants({"C:\\work\\a", "C:\\work\\b"});
  testing::LogCapture log;
  EXPECT_EQ(cleanup({"build-1", {"C:\\work\\a", "C:\\work\\b"}, std::nullopt}), 0);
  EXPECT_EQ(winsim::stored_sddl(root / "c/work/a"), "");
  EXPECT_EQ(winsim::stored_sddl(root / "c/work/b"), "");
  EXPECT_TRUE(winsim::profiles().empty());
  EXPECT_EQ(log.text(), "");
}

TEST_F(CleanupMode, AStableSidKeepsTheSharedProfile) {
  SandboxSid sid = profile_with_grants({"C:\\work\\a"});
  const std::string file = sid_file_for(sid.get());
  testing::LogCapture log;
  EXPECT_EQ(cleanup({"anything", {"C:\\work\\a"}, file}), 0);
  EXPECT_EQ(winsim::stored_sddl(root / "c/work/a"), "");
  EXPECT_EQ(winsim::profiles().size(), 1u);
  EXPECT_TRUE(log.contains(
      std::string("[INFO  tavo_sandbox] cleanup: skipping DeleteAppContainerProfile ") + kDash +
      " profile is shared across sessions (STABLE-SID)\n"));
  // Nothing to revoke: still only the shared-profile line.
  testing::LogCapture quiet;
  EXPECT_EQ(cleanup({"anything", {}, file}), 0);
  EXPECT_EQ(quiet.count("cleanup:"), 1u);
}

TEST_F(CleanupMode, AnUnresolvedSidTouchesNothing) {
  SandboxSid sid = profile_with_grants({"C:\\work\\a"});
  root.write("empty.sid", "\n");
  for (const std::string& file : {root / "empty.sid", root / "missing.sid"}) {
    testing::LogCapture log;
    EXPECT_EQ(cleanup({"build-1", {"C:\\work\\a"}, file}), 17);
    EXPECT_TRUE(
        log.contains("[ERROR tavo_sandbox] cleanup: read STABLE-SID from " + file + " failed: "));
    EXPECT_TRUE(log.contains(
        std::string("[INFO  tavo_sandbox] cleanup: skipping DeleteAppContainerProfile ") + kDash +
        " SID resolution failed, ACEs may still reference it\n"));
    EXPECT_TRUE(log.contains(std::string("[ERROR tavo_sandbox] cleanup: exiting CLEANUP_PARTIAL ") +
                             kDash +
                             " SID resolution failed, nothing could be confirmed revoked\n"));
  }
  EXPECT_NE(winsim::stored_sddl(root / "c/work/a"), "");
  EXPECT_EQ(winsim::profiles().size(), 1u);

  testing::LogCapture log;
  EXPECT_EQ(cleanup({"not/allowed", {"C:\\work\\a"}, std::nullopt}), 17);
  EXPECT_TRUE(log.contains("[ERROR tavo_sandbox] cleanup: derive_sid failed: "));
}

TEST_F(CleanupMode, SystemPathsAndVanishedPathsCountAsDone) {
  SandboxSid sid = profile_with_grants({"C:\\work\\a"});
  testing::LogCapture log;
  EXPECT_EQ(cleanup({"build-1",
                     {"C:\\Windows", "C:\\work\\..\\Windows", "C:\\work\\gone", "C:\\work\\a"},
                     std::nullopt}),
            0);
  EXPECT_TRUE(log.contains(
      "[WARN  tavo_sandbox] cleanup: refusing to revoke ACL on system path: C:\\Windows\n"));
  EXPECT_TRUE(
      log.contains("cleanup: refusing to revoke ACL on system path: C:\\work\\..\\Windows\n"));
  EXPECT_TRUE(log.contains(
      "[INFO  tavo_sandbox] cleanup: revoke C:\\work\\gone skipped (path no longer exists)\n"));
  EXPECT_EQ(winsim::count_calls("SetNamedSecurityInfoW", "Windows"), 0u);
}

TEST_F(CleanupMode, AFailedRevokeIsPartialButTheProfileGoesAllTheSame) {
  SandboxSid sid = profile_with_grants({"C:\\work\\a", "C:\\work\\b", "C:\\work\\c"});
  winsim::fail_every_call("SetNamedSecurityInfoW", "work\\b", ERROR_ACCESS_DENIED);
  testing::LogCapture log;
  EXPECT_EQ(cleanup({"build-1", {"C:\\work\\a", "C:\\work\\b", "C:\\work\\c"}, std::nullopt}), 17);
  EXPECT_TRUE(log.contains("[WARN  tavo_sandbox] cleanup: revoke C:\\work\\b failed: " +
                           HresultError::from_win32(5).display() + "\n"));
  EXPECT_TRUE(log.contains("[ERROR tavo_sandbox] cleanup: 1 of 3 revoke(s) failed\n"));
  EXPECT_TRUE(winsim::profiles().empty());
  EXPECT_EQ(winsim::stored_sddl(root / "c/work/c"), "");

  // With a SID file the same failure keeps the shared profile.
  SandboxSid again = profile_with_grants({"C:\\work\\b"});
  EXPECT_EQ(cleanup({"x", {"C:\\work\\b"}, sid_file_for(again.get())}), 17);
  EXPECT_EQ(winsim::profiles().size(), 1u);
}

TEST_F(CleanupMode, AFailedProfileDeletionIsOnlyWarned) {
  SandboxSid sid = profile_with_grants({});
  winsim::fail_next_call("DeleteAppContainerProfile", "", ERROR_ACCESS_DENIED);
  testing::LogCapture log;
  EXPECT_EQ(cleanup({"build-1", {}, std::nullopt}), 0);
  EXPECT_TRUE(log.contains("[WARN  tavo_sandbox] cleanup: delete profile failed: " +
                           HresultError::from_win32(5).display() + "\n"));
}

}  // namespace
}  // namespace tavo
