// The descriptor of the mutexes all runs share (the DACL edit lock, the deny holds): made from
// SDDL, it must be the very DACL earlier releases wrote by hand, entry for entry, since a mutex
// made by an earlier release and one made now are opened by the same runs. Under Wine, the
// platform's SDDL reading checks winsim's.
#include "win/shared_mutex.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "support/machine.h"
#include "win/security_descriptor.h"

namespace tavo {
namespace {

// The DACL earlier releases gave both mutexes, byte for byte: revision 2, 72 bytes, 3 entries;
// allow MUTEX_ALL_ACCESS to SYSTEM (S-1-5-18), allow MUTEX_ALL_ACCESS to Administrators
// (S-1-5-32-544), allow the users' access (the bytes at kUsersMask) to Authenticated Users
// (S-1-5-11).
constexpr std::array<BYTE, 72> kReleasedDacl = {
    0x02, 0x00, 0x48, 0x00, 0x03, 0x00, 0x00, 0x00,  //
    0x00, 0x00, 0x14, 0x00, 0x01, 0x00, 0x1F, 0x00, 0x01, 0x01, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00,  //
    0x00, 0x00, 0x18, 0x00, 0x01, 0x00, 0x1F, 0x00, 0x01, 0x02, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00,  //
    0x00, 0x00, 0x14, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x01, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x05, 0x0B, 0x00, 0x00, 0x00};
constexpr std::size_t kUsersMask = 8 + 20 + 24 + 4;

std::vector<BYTE> released_dacl(DWORD users_access) {
  std::vector<BYTE> bytes(kReleasedDacl.begin(), kReleasedDacl.end());
  std::memcpy(bytes.data() + kUsersMask, &users_access, sizeof users_access);
  return bytes;
}

class SharedMutex : public testing::MachineTest {};

// The edit lock's users may wait and release (SYNCHRONIZE | MUTEX_MODIFY_STATE), a deny hold's
// only wait (SYNCHRONIZE): each DACL as released, with no owner, group or SACL beside it.
TEST_F(SharedMutex, TheDescriptorIsTheDaclEarlierReleasesWroteByHand) {
  for (const DWORD users_access : {DWORD{SYNCHRONIZE | MUTEX_MODIFY_STATE}, DWORD{SYNCHRONIZE}}) {
    SCOPED_TRACE(users_access);
    auto descriptor = SddlDescriptor::parse(shared_mutex_sddl(users_access));
    ASSERT_TRUE(descriptor);
    const SECURITY_ATTRIBUTES attributes = descriptor->attributes();
    PSECURITY_DESCRIPTOR raw = attributes.lpSecurityDescriptor;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(raw, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr);
    const auto* bytes = reinterpret_cast<const BYTE*>(dacl);
    EXPECT_EQ(std::vector<BYTE>(bytes, bytes + dacl->AclSize), released_dacl(users_access));
    PSID owner = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorOwner(raw, &owner, &defaulted));
    EXPECT_EQ(owner, nullptr);
  }
}

}  // namespace
}  // namespace tavo
