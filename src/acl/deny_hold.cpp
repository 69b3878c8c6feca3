#include "acl/deny_hold.h"

#include "runtime/log.h"
#include "win/error.h"
#include "win/shared_mutex.h"
#include "win/wide.h"

namespace tavo {
namespace {

constexpr std::string_view kOwnerPrefix = "Global\\tavo-sandbox-deny-";
constexpr std::string_view kNeedPrefix = "Global\\tavo-sandbox-deny-need-";

// All that holding a deny needs: every authenticated user may open the hold to wait on it (see
// create_shared_mutex), whichever run, elevated or not, made it first.
constexpr DWORD kHoldAccess = SYNCHRONIZE;

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
  auto handle = create_shared_mutex(name, kHoldAccess);
  if (!handle) {
    log(Level::Warn, kTargetMain, "deny hold {} cannot be taken: {}", name, handle.error());
    return DenyHold();
  }
  return DenyHold(std::move(*handle));
}

}  // namespace tavo
