#include "acl/deny_hold.h"

#include <array>

#include "runtime/log.h"
#include "win/error.h"
#include "win/wide.h"

namespace tavo {
namespace {

constexpr std::string_view kOwnerPrefix = "Global\\tavo-sandbox-deny-";
constexpr std::string_view kNeedPrefix = "Global\\tavo-sandbox-deny-need-";

// Made by whichever run denies first, elevated or not, and opened by runs of every user: SYSTEM
// and Administrators have full control, and every authenticated user may open it to wait on it
// (SYNCHRONIZE), which is all that holding it needs. No one may change its DACL and so shut the
// other runs out.
alignas(4) constexpr std::array<BYTE, 92> kHoldSecurity = {
    // Descriptor: revision 1, control SE_SELF_RELATIVE | SE_DACL_PRESENT, no owner, group or
    // SACL, the DACL at offset 20.
    0x01, 0x00, 0x04, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x14, 0x00, 0x00, 0x00,
    // ACL: revision 2, 72 bytes, 3 entries.
    0x02, 0x00, 0x48, 0x00, 0x03, 0x00, 0x00, 0x00,
    // Allow 0x001F0001 (MUTEX_ALL_ACCESS) to S-1-5-18 (SYSTEM).
    0x00, 0x00, 0x14, 0x00, 0x01, 0x00, 0x1F, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,
    0x12, 0x00, 0x00, 0x00,
    // Allow 0x001F0001 to S-1-5-32-544 (Administrators).
    0x00, 0x00, 0x18, 0x00, 0x01, 0x00, 0x1F, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,
    0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00,
    // Allow 0x00100000 (SYNCHRONIZE) to S-1-5-11 (Authenticated Users).
    0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x10, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,
    0x0B, 0x00, 0x00, 0x00};

}  // namespace

std::string deny_hold_name(std::string_view sid, const FileIdentity& identity, HoldKind kind) {
  std::string name(kind == HoldKind::Owner ? kOwnerPrefix : kNeedPrefix);
  name += sid;
  name.push_back('-');
  name += identity_text(identity);
  return name;
}

DenyHolders deny_holders(std::string_view sid, const FileIdentity& identity) {
  const DenyHolders owners = deny_holders(sid, identity, HoldKind::Owner);
  if (owners == DenyHolders::Some) return owners;
  const DenyHolders needers = deny_holders(sid, identity, HoldKind::Need);
  return needers == DenyHolders::None ? owners : needers;
}

DenyHolders deny_holders(std::string_view sid, const FileIdentity& identity, HoldKind kind) {
  const std::string name = deny_hold_name(sid, identity, kind);
  unique_handle other(OpenMutexW(SYNCHRONIZE, FALSE, to_wide_nul(name).c_str()));
  if (other) return DenyHolders::Some;
  return GetLastError() == ERROR_FILE_NOT_FOUND ? DenyHolders::None : DenyHolders::Unknown;
}

DenyHold DenyHold::take(std::string_view sid, const FileIdentity& identity, HoldKind kind) {
  const std::string name = deny_hold_name(sid, identity, kind);
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = const_cast<BYTE*>(kHoldSecurity.data());
  attributes.bInheritHandle = FALSE;
  unique_handle handle(CreateMutexExW(&attributes, to_wide_nul(name).c_str(), 0, SYNCHRONIZE));
  if (!handle) {
    log(Level::Warn, kTargetMain, "deny hold {} cannot be taken: {}", name,
        HresultError::from_last_error());
  }
  return DenyHold(std::move(handle));
}

}  // namespace tavo
