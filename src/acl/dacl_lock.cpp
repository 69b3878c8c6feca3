#include "acl/dacl_lock.h"

#include <algorithm>
#include <array>

#include "runtime/exit_status.h"
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

DWORD milliseconds_of(std::chrono::milliseconds duration) {
  return static_cast<DWORD>(std::max<std::chrono::milliseconds::rep>(duration.count(), 0));
}

}  // namespace

DaclEditLock::Held::~Held() {
  if (taken_) lock_.release();
  lock_.holding_ = false;
}

DaclEditLock::Held DaclEditLock::hold() {
  if (holding_) internal_failure("the DACL edit lock was asked for while it was held");
  holding_ = true;
  if (!usable()) return Held(*this, false);
  const auto started = std::chrono::steady_clock::now();
  const DWORD result = WaitForSingleObject(mutex_.get(), milliseconds_of(left_));
  left_ -= std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 started);
  switch (result) {
    case WAIT_OBJECT_0:
      return Held(*this, true);
    case WAIT_ABANDONED:
      // Its last holder died between a read and a write; that edit never happened, so there is
      // nothing to repair here.
      log(Level::Debug, kTargetMain, "DACL edit lock taken over from a holder that ended");
      return Held(*this, true);
    case WAIT_TIMEOUT:
      log(Level::Warn, kTargetMain,
          "DACL edit lock {} still held by another process after {} s of waiting in all, editing "
          "without it from now on",
          kMutexName, budget_.count() / 1000);
      break;
    default:
      log(Level::Warn, kTargetMain,
          "DACL edit lock {} cannot be waited for, editing without it: {}", kMutexName,
          HresultError::from_last_error());
      break;
  }
  give_up();
  return Held(*this, false);
}

bool DaclEditLock::usable() {
  if (state_ == State::Unopened) {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = const_cast<BYTE*>(kMutexSecurity.data());
    attributes.bInheritHandle = FALSE;
    mutex_.reset(CreateMutexExW(&attributes, to_wide_nul(kMutexName).c_str(), 0, kMutexAccess));
    if (!mutex_) {
      // Someone took the name first: as another kind of object (ERROR_INVALID_HANDLE) or with a
      // DACL that shuts this user out (ERROR_ACCESS_DENIED). Either turns the lock off for this
      // process, so it is said where an administrator looks, once.
      log(Level::Warn, kTargetMain, "DACL edit lock {} cannot be opened, editing without it: {}",
          kMutexName, HresultError::from_last_error());
      state_ = State::GivenUp;
    } else {
      state_ = State::Usable;
    }
  }
  return state_ == State::Usable;
}

void DaclEditLock::give_up() {
  state_ = State::GivenUp;
  mutex_.reset();
}

void DaclEditLock::release() {
  // Its result is of no use: it cannot fail for a mutex this process holds, and were it to, the
  // next waiter would find the mutex abandoned.
  ReleaseMutex(mutex_.get());
}

}  // namespace tavo
