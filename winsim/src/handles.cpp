// The handle table, standard handles, handle inheritance and the console.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <map>
#include <mutex>
#include <optional>

#include "internal.h"
#include "winsim/kernel.h"
#include "winsim/process.h"

using namespace winsim::detail;

namespace {

// A standard handle of this process: the host's descriptors 0, 1 and 2.
struct StdHandle final : HandleObject {
  explicit StdHandle(int descriptor) : fd(descriptor) {}
  std::string_view kind() const override { return "standard handle"; }
  int host_fd() const override { return fd; }
  int fd;
};

// Inheritance belongs to the handle, not to the object: a duplicate may differ from its source.
struct Entry {
  std::shared_ptr<HandleObject> object;
  Release how;
  bool inheritable;
};

// What SetStdHandle and SetHandleInformation changed of the standard handles.
struct StdSlots {
  std::optional<HANDLE> replaced[3];
  // A process's standard handles were inherited from its parent, so they are inheritable.
  bool inheritable[3] = {true, true, true};
};

// Locked: a console handler's thread opens, uses and closes handles beside the main thread.
struct Table {
  std::mutex lock;
  std::map<ULONG_PTR, Entry> open;
  ULONG_PTR next = 0x100;
  StdSlots std;
};

Table& table() {
  static Table instance;
  return instance;
}

// Standard handles have fixed values and are never accounted: the process does not own them.
constexpr ULONG_PTR kStdBase = 0x10;

HANDLE std_handle_value(int fd) {
  return reinterpret_cast<HANDLE>(kStdBase + 4 * fd);
}

// The descriptor behind a standard handle's value, or -1.
int std_fd(HANDLE handle) {
  for (int fd = 0; fd < 3; ++fd) {
    if (handle == std_handle_value(fd)) return fd;
  }
  return -1;
}

bool fd_is_open(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

// Which standard descriptors the process started with, judged before main: a descriptor closed at
// the start is the first one the host gives to a file opened later, and that file is no standard
// handle of the process.
const std::array<bool, 3>& open_at_start() {
  static const std::array<bool, 3> open = {fd_is_open(0), fd_is_open(1), fd_is_open(2)};
  return open;
}
[[maybe_unused]] const bool kJudgedAtStart = open_at_start()[0] || true;

std::shared_ptr<HandleObject> std_object(HANDLE handle) {
  static const std::shared_ptr<HandleObject> objects[] = {std::make_shared<StdHandle>(0),
                                                          std::make_shared<StdHandle>(1),
                                                          std::make_shared<StdHandle>(2)};
  const int fd = std_fd(handle);
  // A standard handle the process started without names nothing.
  return fd < 0 || !open_at_start()[static_cast<std::size_t>(fd)] ? nullptr : objects[fd];
}

// 0, 1 or 2 for STD_INPUT_HANDLE, STD_OUTPUT_HANDLE and STD_ERROR_HANDLE, else -1.
int std_index(DWORD which) {
  return which == STD_INPUT_HANDLE    ? 0
         : which == STD_OUTPUT_HANDLE ? 1
         : which == STD_ERROR_HANDLE  ? 2
                                      : -1;
}

constexpr DWORD kHandleFlagProtectFromClose = 0x2;

}  // namespace

namespace winsim::detail {

HANDLE add_handle(std::shared_ptr<HandleObject> object, Release how, std::string made_by,
                  bool inheritable) {
  Table& t = table();
  HANDLE handle;
  {
    std::lock_guard hold(t.lock);
    ULONG_PTR value = t.next;
    t.next += 4;
    t.open[value] = Entry{std::move(object), how, inheritable};
    handle = reinterpret_cast<HANDLE>(value);
  }
  track(handle, how, std::move(made_by));
  return handle;
}

std::shared_ptr<HandleObject> find_handle(HANDLE handle) {
  if (auto std = std_object(handle)) return std;
  Table& t = table();
  std::lock_guard hold(t.lock);
  auto it = t.open.find(reinterpret_cast<ULONG_PTR>(handle));
  return it == t.open.end() ? nullptr : it->second.object;
}

std::vector<std::shared_ptr<HandleObject>> open_objects() {
  Table& t = table();
  std::lock_guard hold(t.lock);
  std::vector<std::shared_ptr<HandleObject>> objects;
  for (const auto& [value, entry] : t.open)
    objects.push_back(entry.object);
  return objects;
}

bool is_inheritable(HANDLE handle) {
  Table& t = table();
  std::lock_guard hold(t.lock);
  if (const int fd = std_fd(handle); fd >= 0) return t.std.inheritable[fd];
  auto it = t.open.find(reinterpret_cast<ULONG_PTR>(handle));
  return it != t.open.end() && it->second.inheritable;
}

bool remove_handle(HANDLE handle, Release how) {
  // The object outlives the table's lock: its destructor may close host resources or, for a
  // kill-on-close job, kill and reap processes.
  std::shared_ptr<HandleObject> object;
  {
    Table& t = table();
    std::lock_guard hold(t.lock);
    auto it = t.open.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it != t.open.end()) {
      object = std::move(it->second.object);
      t.open.erase(it);
    }
  }
  untrack(handle, how);  // records a bad release when the handle was not open
  return object != nullptr;
}

void reset_handles() {
  std::map<ULONG_PTR, Entry> closed;
  {
    Table& t = table();
    std::lock_guard hold(t.lock);
    closed.swap(t.open);
    t.std = StdSlots{};
  }
}

}  // namespace winsim::detail

HANDLE GetStdHandle(DWORD which) {
  if (DWORD error = enter("GetStdHandle")) return fail(error, INVALID_HANDLE_VALUE);
  const int index = std_index(which);
  if (index < 0) return fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
  {
    Table& t = table();
    std::lock_guard hold(t.lock);
    if (t.std.replaced[index]) return *t.std.replaced[index];
  }
  // A process started without the standard handle has none: null, without an error, whatever
  // the host has since put behind that descriptor.
  if (!open_at_start()[static_cast<std::size_t>(index)] || !fd_is_open(index)) return nullptr;
  return std_handle_value(index);
}

BOOL SetStdHandle(DWORD which, HANDLE handle) {
  if (DWORD error = enter("SetStdHandle")) return fail(error, FALSE);
  const int index = std_index(which);
  if (index < 0) return fail(ERROR_INVALID_HANDLE, FALSE);
  // Only the value is kept: the handle stays the caller's to close.
  Table& t = table();
  std::lock_guard hold(t.lock);
  t.std.replaced[index] = handle;
  return TRUE;
}

BOOL SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags) {
  if (DWORD error = enter("SetHandleInformation")) return fail(error, FALSE);
  if ((mask & ~(HANDLE_FLAG_INHERIT | kHandleFlagProtectFromClose)) != 0)
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  // Protection from closing is accepted and not kept.
  const bool inherit = (flags & HANDLE_FLAG_INHERIT) != 0;
  Table& t = table();
  std::lock_guard hold(t.lock);
  if (const int fd = std_fd(handle); fd >= 0) {
    if (mask & HANDLE_FLAG_INHERIT) t.std.inheritable[fd] = inherit;
    return TRUE;
  }
  auto it = t.open.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == t.open.end()) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (mask & HANDLE_FLAG_INHERIT) it->second.inheritable = inherit;
  return TRUE;
}

BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process, LPHANDLE target,
                     DWORD /*access: not checked*/, BOOL inherit, DWORD options) {
  if (DWORD error = enter("DuplicateHandle")) return fail(error, FALSE);
  if (target == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  // Only within this process, and without closing the source *(A: not modelled)*.
  const HANDLE current = INVALID_HANDLE_VALUE;  // GetCurrentProcess()'s pseudo handle
  if (source_process != current || target_process != current ||
      (options & ~DUPLICATE_SAME_ACCESS) != 0) {
    return fail(ERROR_NOT_SUPPORTED, FALSE);
  }
  std::shared_ptr<HandleObject> object = find_handle(source);
  if (!object) return fail(ERROR_INVALID_HANDLE, FALSE);
  // A mutex's ownership and a search's position are kept per handle here, so a second handle to
  // either would share what must be its own *(A: not modelled)*.
  if (object->kind() == "mutex" || object->kind() == "find")
    return fail(ERROR_NOT_SUPPORTED, FALSE);
  // The duplicate shares the object: it lives until its last handle is closed.
  *target =
      add_handle(std::move(object), Release::CloseHandle, "DuplicateHandle", inherit != FALSE);
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  note("CloseHandle");
  if (std_object(handle)) return TRUE;  // closing a standard handle is not modelled
  // GetCurrentProcess()'s pseudo handle: closing it does nothing, and succeeds.
  if (handle == INVALID_HANDLE_VALUE) return TRUE;
  if (!remove_handle(handle, Release::CloseHandle)) return fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

BOOL GetConsoleMode(HANDLE console, LPDWORD mode) {
  if (DWORD error = enter("GetConsoleMode")) return fail(error, FALSE);
  auto object = find_handle(console);
  if (!object || object->host_fd() < 0 || !::isatty(object->host_fd())) {
    return fail(ERROR_INVALID_HANDLE, FALSE);
  }
  if (mode != nullptr) *mode = 0x3;  // ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT
  return TRUE;
}

BOOL WriteConsoleW(HANDLE console, const void* buffer, DWORD chars, LPDWORD written, LPVOID) {
  if (DWORD error = enter("WriteConsoleW")) return fail(error, FALSE);
  auto object = find_handle(console);
  if (!object || object->host_fd() < 0 || !::isatty(object->host_fd())) {
    return fail(ERROR_INVALID_HANDLE, FALSE);
  }
  std::string bytes = narrow(std::u16string_view(static_cast<const WCHAR*>(buffer), chars));
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(object->host_fd(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(win32_error_from_errno(errno), FALSE);
    done += static_cast<std::size_t>(n);
  }
  if (written != nullptr) *written = chars;
  return TRUE;
}
