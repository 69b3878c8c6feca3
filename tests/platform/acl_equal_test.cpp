#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "acl/acl.h"
#include "support/machine.h"
#include "support/sids.h"
#include "win/unique.h"

namespace tavo {
namespace {

class AclComparison : public testing::MachineTest {};

// An ACL built by the platform, copied into a buffer with `slack` unused bytes after the entries.
std::vector<std::uint64_t> with_slack(const ACL* acl, std::size_t used, std::size_t slack) {
  std::vector<std::uint64_t> storage((used + slack + 7) / 8, 0);
  std::memcpy(storage.data(), acl, used);
  auto* copy = reinterpret_cast<ACL*>(storage.data());
  copy->AclSize = static_cast<WORD>(used + slack);
  return storage;
}

std::size_t bytes_in_use(const ACL* acl) {
  std::size_t used = sizeof(ACL);
  const auto* bytes = reinterpret_cast<const BYTE*>(acl);
  for (WORD i = 0; i < acl->AceCount; ++i) {
    used += reinterpret_cast<const ACE_HEADER*>(bytes + used)->AceSize;
  }
  return used;
}

TEST_F(AclComparison, ComparesEntriesNotUnusedSpace) {
  SandboxSid sid = testing::make_sid();
  EXPLICIT_ACCESS_W record = explicit_access(sid.get(), kReadMask, SET_ACCESS, 3);
  unique_local<ACL> built;
  ASSERT_EQ(SetEntriesInAclW(1, &record, nullptr, built.put()), ERROR_SUCCESS);
  const std::size_t used = bytes_in_use(built.get());
  auto tight = with_slack(built.get(), used, 0);
  auto roomy = with_slack(built.get(), used, 64);
  const auto* a = reinterpret_cast<const ACL*>(tight.data());
  const auto* b = reinterpret_cast<const ACL*>(roomy.data());
  EXPECT_TRUE(acl_equal(a, b));
  EXPECT_TRUE(acl_equal(built.get(), b));

  auto other_mask = with_slack(built.get(), used, 0);
  reinterpret_cast<ACCESS_ALLOWED_ACE*>(reinterpret_cast<BYTE*>(other_mask.data()) + sizeof(ACL))
      ->Mask = kReadWriteMask;
  EXPECT_FALSE(acl_equal(a, reinterpret_cast<const ACL*>(other_mask.data())));

  auto other_revision = with_slack(built.get(), used, 0);
  reinterpret_cast<ACL*>(other_revision.data())->AclRevision = 4;
  EXPECT_FALSE(acl_equal(a, reinterpret_cast<const ACL*>(other_revision.data())));

  EXPECT_TRUE(acl_equal(nullptr, nullptr));
  EXPECT_FALSE(acl_equal(a, nullptr));
  EXPECT_FALSE(acl_equal(nullptr, a));
}

TEST_F(AclComparison, EntrySizesThatOverrunTheAclNeverCompareEqual) {
  std::uint64_t storage[2] = {};
  auto* acl = reinterpret_cast<ACL*>(storage);
  acl->AclRevision = ACL_REVISION;
  acl->AclSize = 16;
  acl->AceCount = 1;
  reinterpret_cast<ACE_HEADER*>(acl + 1)->AceSize = 200;  // beyond the ACL
  EXPECT_FALSE(acl_equal(acl, acl));
}

}  // namespace
}  // namespace tavo
