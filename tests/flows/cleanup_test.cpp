#include "cleanup.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include "acl/acl.h"
#include "sandbox_profile/profiles.h"
#include "sid/sid_text.h"
#include "support/env.h"
#include "support/faults.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/error.h"

namespace tavo {
namespace {

const std::string kError = "[ERROR tavo_sandbox] cleanup: ";
const std::string kWarn = "[WARN  tavo_sandbox] cleanup: ";
const std::string kInfo = "[INFO  tavo_sandbox] cleanup: ";
const std::string kSkipping = kInfo + "skipping DeleteAppContainerProfile \xE2\x80\x94 ";

class CleanupMode : public testing::MachineTest {
 protected:
  void SetUp() override {
    for (const char* d : {"c/Windows", "c/work/a", "c/work/b", "c/work/long name"})
      root.make_dir(d);
    auto made = ensure_profile("build-1");
    ASSERT_TRUE(made);
    sid = std::move(*made);
    for (const std::string& path : all)
      ASSERT_TRUE(grant_access(sid.get(), path, AccessLevel::ReadWrite));
    root.write("shared.sid", *sid_to_sddl(sid.get()) + "\n");
  }

  bool granted(std::string_view name) const {
    return winsim::stored_sddl(root / name).find(*sid_to_sddl(sid.get())) != std::string::npos;
  }
  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
  SandboxSid sid;  // the profile "build-1", with read-write grants on the three folders
  const std::vector<std::string> all = {"C:\\work\\a", "C:\\work\\b", "C:\\work\\long name"};
  testing::LogCapture log;
};

// A derived SID's entries go and so does its profile. A path is revoked by its 8.3 name as by its
// own; a system path, and one that no longer exists or whose folder went, count as done.
TEST_F(CleanupMode, ADerivedSidIsRevokedAndItsProfileDeleted) {
  EXPECT_EQ(cleanup({"build-1",
                     {"C:\\work\\a", "C:\\work\\b", "C:\\work\\LONGNA~1", "C:\\Windows",
                      "C:\\work\\..\\Windows", "C:\\work\\gone", "C:\\work\\gone\\deeper"},
                     std::nullopt}),
            0);
  for (const char* d : {"c/work/a", "c/work/b", "c/work/long name"})
    EXPECT_FALSE(granted(d)) << d;
  EXPECT_TRUE(winsim::profiles().empty());
  EXPECT_EQ(log.text(), kWarn + "refusing to revoke ACL on system path: C:\\Windows\n" + kWarn +
                            "refusing to revoke ACL on system path: C:\\work\\..\\Windows\n" +
                            kInfo + "revoke C:\\work\\gone skipped (path no longer exists)\n" +
                            kInfo +
                            "revoke C:\\work\\gone\\deeper skipped (path no longer exists)\n");
  EXPECT_EQ(testing::dacl_calls_by_name(), std::vector<std::string>{});
}

// A SID file that cannot be read is never replaced by a derivation: nothing is revoked and the
// profile stays.
TEST_F(CleanupMode, AnUnresolvedSidTouchesNothing) {
  const std::string unresolved =
      kSkipping + "SID resolution failed, ACEs may still reference it\n" + kError +
      "exiting CLEANUP_PARTIAL \xE2\x80\x94 SID resolution failed, nothing could be confirmed "
      "revoked\n";
  EXPECT_EQ(cleanup({"build-1", all, root / "missing.sid"}), 17);
  EXPECT_TRUE(log.text().starts_with(kError + "read STABLE-SID from " + root / "missing.sid"));
  EXPECT_TRUE(log.text().ends_with(unresolved)) << log.text();
  testing::LogCapture one;
  EXPECT_EQ(cleanup({"not/allowed", all, std::nullopt}), 17);
  EXPECT_EQ(one.text(), kError + "derive_sid failed: " + HresultError(0x80070057).display() + "\n" +
                            unresolved);
  EXPECT_TRUE(granted("c/work/a"));
  EXPECT_EQ(winsim::profiles().size(), 1u);
}

// Partial: a failed revoke is counted, the others are done, and a derived SID's profile goes all
// the same; a shared one stays. A failed deletion is only warned about.
TEST_F(CleanupMode, AFailedRevokeIsPartialAndAFailedDeletionOnlyWarned) {
  winsim::fail_every_call("SetSecurityInfo", "work\\b", ERROR_ACCESS_DENIED);
  EXPECT_EQ(cleanup({"x", all, root / "shared.sid"}), 17);
  EXPECT_EQ(winsim::profiles().size(), 1u);
  winsim::fail_next_call("DeleteAppContainerProfile", "", ERROR_ACCESS_DENIED);
  EXPECT_EQ(cleanup({"build-1", all, std::nullopt}), 17);
  EXPECT_EQ(winsim::profiles().size(), 1u);
  EXPECT_EQ(cleanup({"build-1", all, std::nullopt}), 17);
  EXPECT_TRUE(winsim::profiles().empty());
  EXPECT_FALSE(granted("c/work/a") || granted("c/work/long name"));
  const std::string denied = HresultError::from_win32(5).display() + "\n";
  const std::string failed = kWarn + "revoke C:\\work\\b failed: " + denied;
  const std::string partial = kError + "1 of 3 revoke(s) failed\n";
  EXPECT_EQ(log.text_of("] cleanup: "),
            failed + kSkipping + "profile is shared across sessions (STABLE-SID)\n" + partial +
                failed + kWarn + "delete profile failed: " + denied + partial + failed + partial);
}

}  // namespace
}  // namespace tavo
