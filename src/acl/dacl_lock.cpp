#include "acl/dacl_lock.h"

#include <algorithm>

#include "runtime/exit_status.h"
#include "runtime/log.h"
#include "win/error.h"
#include "win/shared_mutex.h"

namespace tavo {
namespace {

// The Global namespace is the one namespace all sessions share: an unprivileged run in a user's
// session, an elevated registration (possibly in another session) and the same user's other
// sessions all reach this one mutex. Mutexes, unlike sections, may be created there without a
// privilege.
constexpr std::string_view kMutexName = "Global\\tavo-sandbox-dacl-edit";

// What a run needs of the mutex: to wait on it and release it. Every authenticated user gets that
// much and no more (see create_shared_mutex), which does not let one change its DACL.
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
    auto mutex = create_shared_mutex(kMutexName, kMutexAccess);
    if (!mutex) {
      // Someone took the name first: as another kind of object (ERROR_INVALID_HANDLE) or with a
      // DACL that shuts this user out (ERROR_ACCESS_DENIED). Either turns the lock off for this
      // process, so it is said where an administrator looks, once.
      log(Level::Warn, kTargetMain, "DACL edit lock {} cannot be opened, editing without it: {}",
          kMutexName, mutex.error());
      state_ = State::GivenUp;
    } else {
      mutex_ = std::move(*mutex);
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
