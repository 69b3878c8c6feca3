#include "acl/dacl_lock.h"

#include <array>

#include "runtime/log.h"
#include "win/error.h"
#include "win/wide.h"

namespace tavo {
namespace {

// The Global namespace is the one namespace all sessions share: an unprivileged run in a user's
// session, an elevated registration (possibly in another session) and the same user's other
// sessions all reach this one mutex. Mutexes, unlike sections, may be created there without a
// privilege.
constexpr std::string_view kMutexName = "Global\\tavo-sandbox-dacl-edit";

// Whoever creates the mutex first decides its DACL. Left to the default, an elevated creator
// would admit only administrators and SYSTEM, and every unprivileged run would be shut out. So
// it is always created with this self-relative descriptor: SYSTEM and Administrators have full
// control; every authenticated user may wait on it and release it (SYNCHRONIZE |
// MUTEX_MODIFY_STATE), which is all a run needs and does not let one change its DACL.
alignas(4) constexpr std::array<BYTE, 92> kMutexSecurity = {
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
    // Allow 0x00100001 (SYNCHRONIZE | MUTEX_MODIFY_STATE) to S-1-5-11 (Authenticated Users).
    0x00, 0x00, 0x14, 0x00, 0x01, 0x00, 0x10, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,
    0x0B, 0x00, 0x00, 0x00};

// What a run asks for when it opens the mutex; CreateMutexW would ask for full control, which an
// unprivileged caller does not have on a mutex an administrator created.
constexpr DWORD kMutexAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// Long enough for any edit (a DACL write on a large tree walks every file below it), short
// enough that a holder that hangs does not stop every run for good.
constexpr DWORD kWaitMilliseconds = 60'000;

}  // namespace

DaclEditLock::DaclEditLock() {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = const_cast<BYTE*>(kMutexSecurity.data());
  attributes.bInheritHandle = FALSE;
  mutex_.reset(CreateMutexExW(&attributes, to_wide_nul(kMutexName).c_str(), 0, kMutexAccess));
  if (!mutex_) {
    log(Level::Debug, kTargetMain, "DACL edit lock unavailable, editing without it: {}",
        HresultError::from_last_error());
    return;
  }
  switch (WaitForSingleObject(mutex_.get(), kWaitMilliseconds)) {
    case WAIT_OBJECT_0:
      held_ = true;
      break;
    case WAIT_ABANDONED:
      // Its last holder died between a read and a write; that edit never happened, so there is
      // nothing to repair here.
      held_ = true;
      log(Level::Debug, kTargetMain, "DACL edit lock taken over from a holder that ended");
      break;
    case WAIT_TIMEOUT:
      log(Level::Warn, kTargetMain, "DACL edit lock not free after {} s, editing without it",
          kWaitMilliseconds / 1000);
      break;
    default:
      log(Level::Debug, kTargetMain, "DACL edit lock unavailable, editing without it: {}",
          HresultError::from_last_error());
      break;
  }
}

DaclEditLock::~DaclEditLock() {
  // Released before the handle closes. Its result is of no use: it cannot fail for a mutex this
  // thread holds, and were it to, the next waiter would find the mutex abandoned.
  if (held_) ReleaseMutex(mutex_.get());
}

}  // namespace tavo
