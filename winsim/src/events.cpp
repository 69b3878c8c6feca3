// Events: CreateEventW, SetEvent. A console handler sets an event from its own thread
// while the main thread waits for it, so the calls are safe across threads and go through the
// gate without reloading the machine. A named event takes its name in the namespace every
// process shares (named_objects.h); its state is this process's.
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

namespace {

constexpr ACCESS_MASK kEventAllAccess = 0x1F0003;

// The named event, from this process's handles, the machine's names or made anew; the last
// error tells which (ERROR_ALREADY_EXISTS for one that existed).
HANDLE named_event(const SECURITY_ATTRIBUTES* attributes, bool manual_reset, bool initial_state,
                   LPCWSTR name) {
  if (DWORD error = name_error(view(name))) return fail<HANDLE>(error, nullptr);
  const std::string key = namespaced(narrow(name));
  auto known = local_object(key, NamedKind::Event, kEventAllAccess);
  if (!known) return fail<HANDLE>(known.error(), nullptr);
  std::shared_ptr<Event> event = std::static_pointer_cast<Event>(*known);
  bool created = event == nullptr;
  if (!event) {
    std::string dacl = new_name_dacl(attributes);
    event = std::make_shared<Event>(manual_reset, initial_state);
    if (!event->usable()) return fail<HANDLE>(win32_error_from_errno(errno), nullptr);
    if (!state_path().empty()) {
      MachineLock guard;
      if (DWORD error = guard.error()) return fail<HANDLE>(error, nullptr);
      auto claimed = claim_name(key, true, NamedKind::Event, dacl, kEventAllAccess);
      if (!claimed) return fail<HANDLE>(claimed.error(), nullptr);
      created = claimed->created;
      dacl = std::move(claimed->dacl);
      event->hold_name(std::move(claimed->file));
    }
    local_names()[key] = LocalName{NamedKind::Event, std::move(dacl), event};
  }
  set_last_error(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
  return add_handle(std::make_shared<EventObject>(std::move(event)), Release::CloseHandle,
                    "CreateEventW");
}

}  // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                    LPCWSTR name) {
  if (DWORD error = enter_local("CreateEventW", narrow(name))) return fail<HANDLE>(error, nullptr);
  if (name != nullptr && *name != 0)
    return named_event(attributes, manual_reset != FALSE, initial_state != FALSE, name);
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
