// The security calls the program relies on: SIDs, SetEntriesInAclW's merge rules, descriptors,
// and the comparison of the ACLs built. Under Wine, the platform's implementation checks winsim's.
#include <gtest/gtest.h>

#include "acl/acl.h"
#include "acl/dacl.h"

#include <cstring>
#include <vector>

#include "base/format.h"
#include "sid/sid_text.h"
#include "support/machine.h"
#include "support/sids.h"
#include "win/api.h"
#include "win/unique.h"

namespace tavo {
namespace {

constexpr const char* kApp = "S-1-15-2-111-222-333-444-555-666-777";
constexpr const char* kOther = "S-1-15-2-1";
constexpr const char* kUsers = "S-1-5-32-545";
// Read, write and execute without DELETE: a deny that DELETE can still be merged into.
constexpr DWORD kDenyWithoutDelete = 0x1201BF;

class SecurityCalls : public testing::MachineTest {
 protected:
  PSID sid(std::string_view text) { return sids_.emplace_back(testing::make_sid(text)).get(); }

  EXPLICIT_ACCESS_W record(DWORD mask, ACCESS_MODE mode, DWORD inheritance, const char* trustee) {
    return explicit_access(sid(trustee), mask, mode, inheritance);
  }

  // The ACL that the records make from `old`; the test owns it.
  PACL apply(std::vector<EXPLICIT_ACCESS_W> records, PACL old = nullptr) {
    PACL out = nullptr;
    EXPECT_EQ(SetEntriesInAclW(static_cast<ULONG>(records.size()), records.data(), old, &out),
              ERROR_SUCCESS);
    acls_.emplace_back(out);
    return out;
  }

  // The entries in order, each as "(A or D;flags;mask in hexadecimal;SID)".
  static std::string entries_of(PACL acl) {
    std::string out;
    void* raw = nullptr;
    for (DWORD i = 0; acl != nullptr && GetAce(acl, i, &raw); ++i) {
      const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
      out += format("({};{};{:x};{})", ace->Header.AceType == ACCESS_DENIED_ACE_TYPE ? "D" : "A",
                    int{ace->Header.AceFlags}, ace->Mask,
                    sid_to_sddl(const_cast<DWORD*>(&ace->SidStart)).value_or("?"));
    }
    return out;
  }

 private:
  std::vector<SandboxSid> sids_;
  std::vector<unique_local<ACL>> acls_;
};

// SET replaces the trustee's allow entry and REVOKE removes it; neither touches its deny entries
// or anyone else's. A bad trustee fails through the result.
TEST_F(SecurityCalls, SetAndRevokeChangeOnlyTheTrusteesAllowEntries) {
  PACL read =
      apply({record(kReadMask, GRANT_ACCESS, 3, kApp), record(kReadMask, GRANT_ACCESS, 0, kUsers)});
  EXPECT_EQ(entries_of(apply({record(kReadWriteMask, SET_ACCESS, 3, kApp)}, read)),
            std::string("(A;3;1301bf;") + kApp + ")(A;0;1200a9;" + kUsers + ")");
  PACL denied = apply({record(kDenyWithoutDelete, DENY_ACCESS, 0, kApp)}, read);
  EXPECT_EQ(entries_of(apply({record(0, REVOKE_ACCESS, 3, kApp)}, denied)),
            std::string("(D;0;1201bf;") + kApp + ")(A;0;1200a9;" + kUsers + ")");
  EXPECT_EQ(
      entries_of(apply({record(kReadMask, SET_ACCESS, 0, kApp)}, denied)),
      std::string("(D;0;1201bf;") + kApp + ")(A;0;1200a9;" + kApp + ")(A;0;1200a9;" + kUsers + ")");

  EXPLICIT_ACCESS_W bad = record(kReadMask, GRANT_ACCESS, 0, kApp);
  bad.Trustee.TrusteeForm = TRUSTEE_BAD_FORM;
  PACL out = nullptr;
  EXPECT_EQ(SetEntriesInAclW(1, &bad, nullptr, &out), ERROR_INVALID_PARAMETER);
}

// GRANT and DENY add to an entry of the same trustee and flags, or a deny goes first and an allow
// before the first allow.
TEST_F(SecurityCalls, GrantAndDenyMergeOrPlaceTheirEntries) {
  if (testing::running_under_wine()) GTEST_SKIP() << "Wine neither merges nor places entries";
  PACL first = apply({record(kDenyWithoutDelete, DENY_ACCESS, 0, kOther),
                      record(kReadMask, GRANT_ACCESS, 3, kUsers)});
  PACL merged = apply(
      {record(0x100, GRANT_ACCESS, 3, kUsers), record(kReadMask, GRANT_ACCESS, 0, kApp)}, first);
  EXPECT_EQ(entries_of(merged), std::string("(D;0;1201bf;") + kOther + ")(A;0;1200a9;" + kApp +
                                    ")(A;3;1201a9;" + kUsers + ")");
  PACL denied = apply(
      {record(kDenyWithoutDelete, DENY_ACCESS, 3, kApp), record(0x10000, DENY_ACCESS, 0, kOther)},
      merged);
  EXPECT_EQ(entries_of(denied), std::string("(D;3;1201bf;") + kApp + ")(D;0;1301bf;" + kOther +
                                    ")(A;0;1200a9;" + kApp + ")(A;3;1201a9;" + kUsers + ")");
}

// What a traversal grant writes: a descriptor with its DACL and the protection it read.
TEST_F(SecurityCalls, AnAbsoluteDescriptorCarriesItsDaclAndProtection) {
  PACL acl = apply({record(kReadMask, SET_ACCESS, 0, kApp)});
  SECURITY_DESCRIPTOR sd{};
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
  for (bool protect : {true, false}) {
    const SECURITY_DESCRIPTOR_CONTROL bit = protect ? SE_DACL_PROTECTED : 0;
    ASSERT_TRUE(SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, bit));
    EXPECT_EQ(is_protected(&sd).value_or(!protect), protect);
  }
}

// ACLs are equal by their entries, not the space after them; never when an entry runs past one.
TEST_F(SecurityCalls, AclsCompareByTheirEntries) {
  const ACL* built = apply({record(kReadMask, SET_ACCESS, 3, kApp)});
  const std::size_t used = sizeof(ACL) + reinterpret_cast<const ACE_HEADER*>(built + 1)->AceSize;
  std::vector<std::uint64_t> storage[4];  // a copy without slack, with slack, and two changed
  ACL* acls[4];
  for (std::size_t i = 0; i < 4; ++i) {
    storage[i].assign((used + 64 + 7) / 8, 0);
    std::memcpy(storage[i].data(), built, used);
    acls[i] = reinterpret_cast<ACL*>(storage[i].data());
    acls[i]->AclSize = static_cast<WORD>(i == 1 ? used + 64 : used);
  }
  EXPECT_TRUE(acl_equal(acls[0], acls[1]));
  EXPECT_TRUE(acl_equal(built, acls[0]));
  reinterpret_cast<ACCESS_ALLOWED_ACE*>(acls[2] + 1)->Mask = kReadWriteMask;
  EXPECT_FALSE(acl_equal(acls[0], acls[2]));
  acls[3]->AclRevision = ACL_REVISION_DS;
  EXPECT_FALSE(acl_equal(acls[0], acls[3]));
  EXPECT_TRUE(acl_equal(nullptr, nullptr));
  EXPECT_FALSE(acl_equal(acls[0], nullptr));
  EXPECT_FALSE(acl_equal(nullptr, acls[0]));
  acls[0]->AclSize = static_cast<WORD>(used - 1);  // the entry now runs past the end
  EXPECT_FALSE(acl_equal(acls[0], acls[0]));
}

}  // namespace
}  // namespace tavo
