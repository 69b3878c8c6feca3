// Waits on processes, threads, events and mutexes. A wait holds no winsim-wide lock while it
// blocks: it polls the objects' descriptors (a process's pidfd, an event's eventfd), so that a
// console handler's thread can set an event, terminate a job or make other calls meanwhile, and
// the waiter wakes at once.
#include <poll.h>

#include <chrono>
#include <functional>
#include <span>

#include "events.h"
#include "mutexes.h"
#include "processes.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace {

// One object of a wait: whether it is signalled now (taking it when a wait takes it), and a
// descriptor that becomes readable when it may have become so (-1: look again shortly).
struct Waitable {
  std::function<bool()> take;
  int descriptor;
};

std::optional<Waitable> waitable(HANDLE handle) {
  if (handle == current_process_handle()) return Waitable{[] { return false; }, -1};
  auto object = find_handle(handle);
  if (auto event = std::dynamic_pointer_cast<EventObject>(object))
    return Waitable{[e = event->event] { return e->take(); }, event->event->descriptor()};
  if (auto opened = std::dynamic_pointer_cast<OpenedProcess>(object))
    return Waitable{[opened] { return opened->ended(); }, opened->end_fd};
  if (auto process = process_of(handle))
    return Waitable{[process] { return process->ended(); }, process->end_descriptor()};
  return std::nullopt;
}

// The index of the first signalled object, or nothing once `milliseconds` have passed.
std::optional<DWORD> wait_for_any(std::span<const Waitable> objects, DWORD milliseconds) {
  using Clock = std::chrono::steady_clock;
  constexpr int kStepWithoutDescriptor = 2;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  std::vector<pollfd> descriptors;
  bool every_one_has_a_descriptor = true;
  for (const Waitable& object : objects) {
    if (object.descriptor >= 0)
      descriptors.push_back(pollfd{object.descriptor, POLLIN, 0});
    else
      every_one_has_a_descriptor = false;
  }
  for (;;) {
    for (DWORD i = 0; i < objects.size(); ++i) {
      if (objects[i].take()) return i;
    }
    int left = -1;
    if (milliseconds != INFINITE) {
      auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (rest <= 0) return std::nullopt;
      left = static_cast<int>(rest);
    }
    if (!every_one_has_a_descriptor)
      left = left < 0 ? kStepWithoutDescriptor : std::min(left, kStepWithoutDescriptor);
    // EINTR (a console signal) and spurious wake-ups alike: look at the objects again.
    ::poll(descriptors.data(), descriptors.size(), left);
  }
}

}  // namespace

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (DWORD error = enter_local("WaitForSingleObject", mutex_name_of(handle).value_or("")))
    return fail(error, WAIT_FAILED);
  if (auto taken = wait_for_mutex(handle, milliseconds)) return *taken;
  auto object = waitable(handle);
  if (!object) return fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  return wait_for_any(std::span(&*object, 1), milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds) {
  if (DWORD error = enter_local("WaitForMultipleObjects", std::to_string(count)))
    return fail(error, WAIT_FAILED);
  // Waiting for all objects at once is not modelled *(A)*.
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr || wait_all)
    return fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
  std::vector<Waitable> objects;
  for (DWORD i = 0; i < count; ++i) {
    auto object = waitable(handles[i]);
    if (!object) return fail(ERROR_INVALID_HANDLE, WAIT_FAILED);  // mutexes included *(A)*
    objects.push_back(std::move(*object));
  }
  auto index = wait_for_any(objects, milliseconds);
  return index ? WAIT_OBJECT_0 + *index : WAIT_TIMEOUT;
}
