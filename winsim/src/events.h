// Event objects, shared by the event calls and the waits.
#pragma once

#include <mutex>

#include "internal.h"
#include "named_objects.h"

namespace winsim::detail {

// An event of this process. Its state is kept under a lock and mirrored by an eventfd that is
// readable while the event is set, so that a wait can block in poll() beside a process's pidfd
// and wake as soon as another thread sets the event.
class Event {
 public:
  Event(bool manual_reset, bool initially_set);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // False when the host gave no eventfd.
  bool usable() const { return fd_ >= 0; }
  void set();
  // Whether the event is set; an auto-reset event that is set is taken, and so reset.
  bool take();
  int descriptor() const { return fd_; }
  // A named event holds its name on the machine for as long as it lives.
  void hold_name(HostDescriptor claim) { name_claim_ = std::move(claim); }

 private:
  void drain();

  std::mutex lock_;
  bool manual_reset_;
  bool set_ = false;
  int fd_;
  HostDescriptor name_claim_;
};

struct EventObject final : HandleObject {
  explicit EventObject(std::shared_ptr<Event> shared) : event(std::move(shared)) {}
  std::string_view kind() const override { return "event"; }
  std::shared_ptr<Event> event;
};

}  // namespace winsim::detail
