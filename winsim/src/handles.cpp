// The handle table, standard handles and the console.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "internal.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace {

// A standard handle of this process: the host's descriptors 0, 1 and 2.
struct StdHandle final : HandleObject {
  explicit StdHandle(int fd) : fd(fd) {}
  std::string_view kind() const override { return "standard handle"; }
  int host_fd() const override { return fd; }
  int fd;
};

struct Entry {
  std::shared_ptr<HandleObject> object;
  Release how;
};

// Locked: a console handler's thread opens, uses and closes handles beside the main thread.
struct Table {
  std::mutex lock;
  std::map<ULONG_PTR, Entry> open;
  ULONG_PTR next = 0x100;
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

std::shared_ptr<HandleObject> std_object(HANDLE handle) {
  static const std::shared_ptr<HandleObject> objects[] = {std::make_shared<StdHandle>(0),
                                                          std::make_shared<StdHandle>(1),
                                                          std::make_shared<StdHandle>(2)};
  for (int fd = 0; fd < 3; ++fd) {
    if (handle == std_handle_value(fd)) return objects[fd];
  }
  return nullptr;
}

bool fd_is_open(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

}  // namespace

namespace winsim::detail {

HANDLE add_handle(std::shared_ptr<HandleObject> object, Release how, std::string made_by) {
  Table& t = table();
  HANDLE handle;
  {
    std::lock_guard hold(t.lock);
    ULONG_PTR value = t.next;
    t.next += 4;
    t.open[value] = Entry{std::move(object), how};
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
  }
}

}  // namespace winsim::detail

HANDLE GetStdHandle(DWORD which) {
  if (DWORD error = enter("GetStdHandle")) return fail(error, INVALID_HANDLE_VALUE);
  int fd = which == STD_INPUT_HANDLE    ? 0
           : which == STD_OUTPUT_HANDLE ? 1
           : which == STD_ERROR_HANDLE  ? 2
                                        : -1;
  if (fd < 0) return fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
  // A process started without the standard handle has none: null, without an error.
  if (!fd_is_open(fd)) return nullptr;
  return std_handle_value(fd);
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
