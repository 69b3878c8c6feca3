// The one lock every edit of a DACL by this program holds from its read to its write.
#pragma once

#include <chrono>

#include "win/unique.h"

namespace tavo {

// Every DACL edit is a read, a change in memory and a write; two processes doing that to one
// object at once would each write a DACL without the other's entry. Holding this machine-wide
// mutex from the read to the write makes the edits of overlapping runs and registrations follow
// one another. One lock for every object: a write with an inheritable entry rewrites everything
// below the object, so an edit of a child must not land between its parent's read and write.
// It is never held while a command runs.
//
// A process (a run, a registration, a cleanup) makes one of these and opens the mutex once.
// Anyone who may wait on the mutex may also keep it, so the lock never fails or stalls the
// process for long: all its waits together last at most `budget`, and once that is spent, or
// when the mutex's name cannot be opened (another kind of object holds it, or its DACL refuses
// us), the process edits without the lock from then on, after one warning that names the lock.
// A mutex whose holder died is taken over as usual.
class DaclEditLock {
 public:
  // What an edit is given to show that its caller holds the lock, or has been let go on without
  // it. Edits take it rather than the lock itself, so no edit takes the lock while its caller
  // already holds it; it is released when it goes.
  class Held {
   public:
    ~Held();
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

   private:
    friend class DaclEditLock;
    Held(DaclEditLock& lock, bool taken) : lock_(lock), taken_(taken) {}

    DaclEditLock& lock_;
    bool taken_;
  };

  static constexpr std::chrono::milliseconds kWaitBudget{30'000};

  explicit DaclEditLock(std::chrono::milliseconds budget = kWaitBudget)
      : budget_(budget), left_(budget) {}
  DaclEditLock(const DaclEditLock&) = delete;
  DaclEditLock& operator=(const DaclEditLock&) = delete;

  // Takes the lock, waiting no longer than what is left of the budget, or lets the caller go on
  // without it. One Held at a time: holding it twice would be a broken invariant.
  [[nodiscard]] Held hold();

 private:
  enum class State { Unopened, Usable, GivenUp };

  // Opens the mutex the first time the lock is asked for; false when this process goes on
  // without it.
  bool usable();
  void give_up();
  void release();

  unique_handle mutex_;
  State state_ = State::Unopened;
  const std::chrono::milliseconds budget_;
  std::chrono::milliseconds left_;  // of the budget
  bool holding_ = false;
};

}  // namespace tavo
