// Platform rules winsim models that the program's own flows do not reach: inheritance flags other
// than the program's, what SetFileSecurityW leaves alone, and the unused space of built ACLs
// (without it the tests of unchanged grants would prove nothing).
#include <gtest/gtest.h>
#include <winsim/testing.h>

#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

constexpr const char* kApp = "S-1-15-2-9";

class WinsimModel : public testing::MachineTest {
 protected:
  // One record for kApp, on a SID the test owns.
  EXPLICIT_ACCESS_W record(ACCESS_MODE mode, DWORD mask, DWORD inheritance) {
    if (!app_) {
      EXPECT_TRUE(ConvertStringSidToSidW(to_wide_nul(kApp).c_str(), app_.put()));
    }
    EXPLICIT_ACCESS_W r{};
    r.grfAccessPermissions = mask;
    r.grfAccessMode = mode;
    r.grfInheritance = inheritance;
    r.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    r.Trustee.ptstrName = static_cast<LPWSTR>(app_.get());
    return r;
  }

  unique_local<void> app_;
  testing::TempDir dir;
};

TEST_F(WinsimModel, InheritanceFollowsEachEntrysFlags) {
  EXPECT_EQ(winsim::dacl_sddl("/"),
            "D:(A;OICI;0x1f01ff;;;S-1-5-18)(A;OICI;0x1f01ff;;;S-1-5-32-544)"
            "(A;OICI;0x1200a9;;;S-1-5-32-545)");
  EXPECT_EQ(winsim::dacl_sddl("NUL"),
            "D:(A;;0x1f01ff;;;S-1-5-18)(A;;0x1f01ff;;;S-1-5-32-544)(A;;0xc0000000;;;S-1-1-0)");
  dir.write("top/f.txt", "x");
  dir.write("top/sub/f.txt", "x");
  dir.write("top/sub/closed.txt", "x");
  dir.make_dir("top/sub/deeper");
  winsim::set_stored_sddl(dir / "top",
                          "D:P(A;OICI;0x1;;;S-1-15-2-1)(A;OI;0x2;;;S-1-15-2-2)"
                          "(A;CI;0x4;;;S-1-15-2-3)(A;OICINP;0x8;;;S-1-15-2-4)(A;;0x10;;;BU)");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/f.txt"),
            "D:(A;ID;0x1;;;S-1-15-2-1)(A;ID;0x2;;;S-1-15-2-2)(A;ID;0x8;;;S-1-15-2-4)");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/sub/deeper"),
            "D:(A;OICIID;0x1;;;S-1-15-2-1)(A;OIIOID;0x2;;;S-1-15-2-2)(A;CIID;0x4;;;S-1-15-2-3)");
  // Own entries first, then the nearest parent's; a protected object inherits nothing.
  winsim::set_stored_sddl(dir / "top/sub", "D:(D;OICI;0x20;;;S-1-15-2-5)");
  winsim::set_stored_sddl(dir / "top/sub/f.txt", "D:(A;;0x40;;;S-1-15-2-6)");
  winsim::set_stored_sddl(dir / "top/sub/closed.txt", "D:P");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/sub/f.txt"),
            "D:(A;;0x40;;;S-1-15-2-6)(D;ID;0x20;;;S-1-15-2-5)(A;ID;0x1;;;S-1-15-2-1)"
            "(A;ID;0x2;;;S-1-15-2-2)");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/sub/closed.txt"), "D:P");
}

// The children keep what the directory passed on before the write, in the next process too,
// until a write that propagates.
TEST_F(WinsimModel, SetFileSecurityWChangesOneObjectOnly) {
  testing::ScopedEnv state("WINSIM_STATE", dir / "state");
  winsim::reset();
  dir.write("d/f.txt", "x");
  const std::string file = winsim::dacl_sddl(dir / "d/f.txt");
  const WideString directory = to_wide_nul(dir / "d");
  {
    EXPLICIT_ACCESS_W grant = record(GRANT_ACCESS, 0x1200A9, 3);
    unique_local<ACL> acl;
    ASSERT_EQ(SetEntriesInAclW(1, &grant, nullptr, acl.put()), ERROR_SUCCESS);
    SECURITY_DESCRIPTOR sd{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl.get(), FALSE));
    ASSERT_TRUE(SetFileSecurityW(directory.c_str(), DACL_SECURITY_INFORMATION, &sd));
    app_.reset();
  }
  EXPECT_EQ(winsim::stored_sddl(dir / "d"), "D:(A;OICI;0x1200a9;;;S-1-15-2-9)");
  winsim::reset();
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/f.txt"), file);

  PACL dacl = nullptr;
  unique_local<void> sd;
  ASSERT_EQ(GetNamedSecurityInfoW(directory.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &dacl, nullptr, sd.put()),
            ERROR_SUCCESS);
  ASSERT_EQ(SetNamedSecurityInfoW(const_cast<LPWSTR>(directory.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/f.txt"), "D:(A;ID;0x1200a9;;;S-1-15-2-9)" + file.substr(2));
}

TEST_F(WinsimModel, BuiltAclsCarryUnusedSpace) {
  EXPLICIT_ACCESS_W grant = record(GRANT_ACCESS, 0x1200A9, 3);
  unique_local<ACL> acl;
  ASSERT_EQ(SetEntriesInAclW(1, &grant, nullptr, acl.put()), ERROR_SUCCESS);
  EXPECT_EQ(acl.get()->AceCount, 1);
  EXPECT_GT(acl.get()->AclSize, 8u + 8u + 8u + 4u * 2u);  // header, entry and SID
}

}  // namespace
}  // namespace tavo
