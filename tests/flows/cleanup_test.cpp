// The cleanup mode against winsim: what it revokes, which profiles it deletes, and when it is
// partial.
#include "cleanup.h"

#include "flows/admin_machine.h"
#include "win/error.h"

namespace tavo {
namespace {

using CleanupMode = AdminMachine;
const std::string kCleanup = "] cleanup: ";
const std::string kError = "[ERROR tavo_sandbox" + kCleanup;
const std::string kWarn = "[WARN  tavo_sandbox" + kCleanup;
const std::string kInfo = "[INFO  tavo_sandbox" + kCleanup;
const std::string kSkipping = kInfo + "skipping DeleteAppContainerProfile \xE2\x80\x94 ";

// A derived SID's entries go and so does its profile. A path is revoked by its 8.3 name as by its
// own; a system path, and one that no longer exists or whose folder went, count as done.
TEST_F(CleanupMode, ADerivedSidIsRetiredWithItsProfile) {
  const std::string sid = arrange_cleanup();
  testing::LogCapture log(Level::Info);
  EXPECT_EQ(cleanup({"build-1",
                     {"C:\\work\\a", "C:\\work\\b", "C:\\work\\LONGNA~1", "C:\\Windows",
                      "C:\\work\\..\\Windows", "C:\\work\\gone", "C:\\work\\gone\\deeper"},
                     std::nullopt}),
            0);
  for (const std::string& path : kRevoked)
    EXPECT_EQ(stored(path).find(sid), std::string::npos) << path;
  EXPECT_TRUE(winsim::profiles().empty());
  EXPECT_EQ(log.text_of(kCleanup),
            kWarn + "refusing to revoke ACL on system path: C:\\Windows\n" + kWarn +
                "refusing to revoke ACL on system path: C:\\work\\..\\Windows\n" + kInfo +
                "revoke C:\\work\\gone skipped (path no longer exists)\n" + kInfo +
                "revoke C:\\work\\gone\\deeper skipped (path no longer exists)\n");
  EXPECT_EQ(testing::dacl_calls_by_name(), std::vector<std::string>{});
}

// A SID that cannot be resolved (a SID file that cannot be read is never replaced by a derivation)
// touches nothing. Partial: a failed revoke is counted, the others are done, and a derived SID's
// profile goes all the same; a shared one stays. A failed deletion is only warned about.
TEST_F(CleanupMode, AnUnresolvedSidOrAFailedRevokeIsPartial) {
  const std::string sid = arrange_cleanup();
  const std::string missing = "C:\\ProgramData\\missing.sid";
  testing::LogCapture log(Level::Info);
  EXPECT_EQ(cleanup({"build-1", kRevoked, missing}), 17);
  EXPECT_EQ(cleanup({"not/allowed", kRevoked, std::nullopt}), 17);
  EXPECT_NE(stored("C:\\work\\a").find(sid), std::string::npos);
  EXPECT_EQ(winsim::profiles().size(), 1u);
  winsim::fail_every_call("SetSecurityInfo", "work\\b", ERROR_ACCESS_DENIED);
  EXPECT_EQ(cleanup({"x", kRevoked, "C:\\ProgramData\\shared.sid"}), 17);
  EXPECT_EQ(winsim::profiles().size(), 1u);
  winsim::fail_next_call("DeleteAppContainerProfile", "", ERROR_ACCESS_DENIED);
  EXPECT_EQ(cleanup({"build-1", kRevoked, std::nullopt}), 17);
  EXPECT_EQ(winsim::profiles().size(), 1u);
  EXPECT_EQ(cleanup({"build-1", kRevoked, std::nullopt}), 17);
  EXPECT_TRUE(winsim::profiles().empty());
  EXPECT_EQ((stored("C:\\work\\a") + stored("C:\\work\\long name")).find(sid), std::string::npos);
  const std::string unresolved =
      kSkipping + "SID resolution failed, ACEs may still reference it\n" + kError +
      "exiting CLEANUP_PARTIAL \xE2\x80\x94 SID resolution failed, nothing could be confirmed "
      "revoked\n";
  const std::string denied = HresultError::from_win32(5).display() + "\n";
  const std::string failed = kWarn + "revoke C:\\work\\b failed: " + denied;
  const std::string partial = kError + "1 of 3 revoke(s) failed\n";
  EXPECT_EQ(log.text_of(kCleanup),
            kError + "read STABLE-SID from " + missing + " failed: network sid file '" + missing +
                "': " + IoError::from_win32(2).display() + "\n" + unresolved + kError +
                "derive_sid failed: " + HresultError(0x80070057).display() + "\n" + unresolved +
                failed + kSkipping + "profile is shared across sessions (STABLE-SID)\n" + partial +
                failed + kWarn + "delete profile failed: " + denied + partial + failed + partial);
}

}  // namespace
}  // namespace tavo
