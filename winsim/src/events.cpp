// Unnamed events: CreateEventW, SetEvent, ResetEvent. A console handler sets an event from its
// own thread while the main thread waits for it, so the calls are safe across threads and go
// through the gate without reloading the machine.
#include "events.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "winsim/process.h"

using namespace winsim::detail;

namespace winsim::detail {

Event::Event(bool manual_reset, bool initially_set)
    : manual_reset_(manual_reset), fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (initially_set) set();
}

Event::~Event() {
  if (fd_ >= 0) ::close(fd_);
}

void Event::set() {
  std::lock_guard hold(lock_);
  if (set_) return;
  set_ = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(fd_, &one, sizeof one);
}

void Event::reset() {
  std::lock_guard hold(lock_);
  set_ = false;
  drain();
}

bool Event::take() {
  std::lock_guard hold(lock_);
  if (!set_) return false;
  if (!manual_reset_) {
    set_ = false;
    drain();
  }
  return true;
}

void Event::drain() {
  std::uint64_t count = 0;
  [[maybe_unused]] auto read = ::read(fd_, &count, sizeof count);  // EAGAIN when already clear
}

}  // namespace winsim::detail

namespace {

std::shared_ptr<Event> event_of(HANDLE handle) {
  auto object = find_handle_as<EventObject>(handle);
  return object ? object->event : nullptr;
}

}  // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCWSTR name) {
  if (DWORD error = enter_local("CreateEventW", narrow(name))) return fail<HANDLE>(error, nullptr);
  // Named events are shared between processes by name, which winsim does not model.
  if (name != nullptr && *name != 0) return fail<HANDLE>(ERROR_NOT_SUPPORTED, nullptr);
  auto event = std::make_shared<Event>(manual_reset != FALSE, initial_state != FALSE);
  if (!event->usable()) return fail<HANDLE>(win32_error_from_errno(errno), nullptr);
  set_last_error(ERROR_SUCCESS);
  return add_handle(std::make_shared<EventObject>(std::move(event)), Release::CloseHandle,
                    "CreateEventW");
}

BOOL SetEvent(HANDLE handle) {
  if (DWORD error = enter_local("SetEvent")) return fail(error, FALSE);
  auto event = event_of(handle);
  if (!event) return fail(ERROR_INVALID_HANDLE, FALSE);
  event->set();
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  if (DWORD error = enter_local("ResetEvent")) return fail(error, FALSE);
  auto event = event_of(handle);
  if (!event) return fail(ERROR_INVALID_HANDLE, FALSE);
  event->reset();
  return TRUE;
}
