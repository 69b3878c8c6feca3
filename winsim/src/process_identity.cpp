// Which process a handle names and when it started: the current process's pseudo handle, host
// processes opened by id, and their times from /proc. A program that records a process id with
// its creation time can tell, later, a process that still runs from a new one given the same id.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <ctime>
#include <sstream>

#include "processes.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace {

// FILETIME counts 100 ns units from 1601-01-01; the host counts seconds from 1970-01-01.
constexpr std::uint64_t kUnitsPerSecond = 10'000'000;
constexpr std::uint64_t kSecondsFrom1601To1970 = 11'644'473'600;

// The whole text of a /proc file; empty when it cannot be read. Read with the host's calls, not a
// stream: a process that ends between the open and the read makes the read fail (ESRCH), which
// a file stream reports by throwing.
std::string proc_text(const std::string& path) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) text.clear();
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

// The host's boot time in seconds since 1970, which /proc's start times count from. Read once:
// the kernel's figure is fixed for the life of the machine.
std::optional<std::uint64_t> boot_time() {
  static const std::optional<std::uint64_t> seconds = []() -> std::optional<std::uint64_t> {
    // Read whole and searched for its line: the file holds thousands of interrupt counts before
    // it, which reading word by word through a stream takes a good part of a run's time to skip.
    const std::string text = proc_text("/proc/stat");
    const auto line = text.find("\nbtime ");
    if (line == std::string::npos) return std::nullopt;
    std::uint64_t value = 0;
    const char* first = text.data() + line + 7;
    const auto [end, error] = std::from_chars(first, text.data() + text.size(), value);
    if (error != std::errc{} || end == first) return std::nullopt;
    return value;
  }();
  return seconds;
}

std::uint64_t ticks_to_units(std::uint64_t ticks) {
  static const auto per_second = static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
  return ticks / per_second * kUnitsPerSecond + ticks % per_second * kUnitsPerSecond / per_second;
}

void put(LPFILETIME out, std::uint64_t value) {
  out->dwLowDateTime = static_cast<DWORD>(value);
  out->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

// The pid and, when known, the times of what a process handle names.
struct Identity {
  pid_t pid;
  std::uint64_t creation;
};

std::optional<Identity> identity_of(HANDLE handle) {
  if (handle == current_process_handle()) {
    auto times = host_process_times(::getpid());
    return Identity{::getpid(), times ? times->creation : 0};
  }
  auto object = find_handle(handle);
  if (auto started = std::dynamic_pointer_cast<ProcessObject>(object))
    return Identity{started->process->pid(), started->process->creation_time()};
  if (auto opened = std::dynamic_pointer_cast<OpenedProcess>(object))
    return Identity{opened->pid, opened->creation_time};
  return std::nullopt;
}

}  // namespace

namespace winsim::detail {

std::optional<HostProcessTimes> host_process_times(pid_t pid) {
  const std::string text = proc_text("/proc/" + std::to_string(pid) + "/stat");
  // The command name in parentheses may hold spaces and parentheses; the fields follow the last
  // ')'. Counted from there: 3 state, ..., 14 utime, 15 stime, ..., 22 starttime.
  const auto close = text.rfind(')');
  const auto btime = boot_time();
  if (close == std::string::npos || !btime) return std::nullopt;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  std::uint64_t utime = 0, stime = 0, start = 0;
  for (int number = 3; fields >> field; ++number) {
    if (number == 14) utime = std::stoull(field);
    if (number == 15) stime = std::stoull(field);
    if (number == 22) {
      start = std::stoull(field);
      return HostProcessTimes{
          (*btime + kSecondsFrom1601To1970) * kUnitsPerSecond + ticks_to_units(start),
          ticks_to_units(stime), ticks_to_units(utime)};
    }
  }
  return std::nullopt;
}

OpenedProcess::~OpenedProcess() {
  if (end_fd >= 0) ::close(end_fd);
}

bool OpenedProcess::ended() const {
  if (end_fd >= 0) {
    pollfd entry{end_fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1;
  }
  // Without a pidfd: gone, or a zombie, or its id taken by a process started after it.
  auto times = host_process_times(pid);
  if (!times || times->creation != creation_time) return true;
  const std::string text = proc_text("/proc/" + std::to_string(pid) + "/stat");
  const auto close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() || text[close + 2] == 'Z';
}

}  // namespace winsim::detail

HANDLE GetCurrentProcess() {
  note("GetCurrentProcess");  // cannot fail on the platform
  return current_process_handle();
}

DWORD GetCurrentProcessId() {
  note("GetCurrentProcessId");  // cannot fail on the platform
  return static_cast<DWORD>(::getpid());
}

HANDLE OpenProcess(DWORD /*access*/, BOOL /*inherit*/, DWORD process_id) {
  if (DWORD error = enter_local("OpenProcess", std::to_string(process_id)))
    return fail<HANDLE>(error, nullptr);
  // Id 0 is the idle process, which cannot be opened; ids past the host's range name nothing.
  const auto pid = static_cast<pid_t>(process_id);
  if (process_id == 0 || pid < 0) return fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  if (::kill(pid, 0) != 0) {
    return fail<HANDLE>(errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER, nullptr);
  }
  // The descriptor first, the start time second: a descriptor opened on a reused id would carry
  // the new process's start time, never an old one's.
  const int end_fd = open_process_descriptor(pid);
  auto times = host_process_times(pid);
  if (!times) {
    if (end_fd >= 0) ::close(end_fd);
    return fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);  // it went away meanwhile
  }
  return add_handle(std::make_shared<OpenedProcess>(pid, end_fd, times->creation),
                    Release::CloseHandle, "OpenProcess");
}

BOOL GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel,
                     LPFILETIME user) {
  if (DWORD error = enter_local("GetProcessTimes")) return fail(error, FALSE);
  auto identity = identity_of(process);
  if (!identity) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (creation == nullptr || exit == nullptr || kernel == nullptr || user == nullptr)
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  // Processor times while /proc still shows the process; an ended process's are not kept *(A)*.
  auto times = host_process_times(identity->pid);
  const bool same = times && times->creation == identity->creation;
  put(creation, identity->creation);
  put(exit, 0);  // the end time is not modelled *(A)*
  put(kernel, same ? times->kernel : 0);
  put(user, same ? times->user : 0);
  return TRUE;
}

void GetSystemTimeAsFileTime(LPFILETIME now) {
  // Counted and traced like any call; the platform's call has no way to fail, so no fault.
  static_cast<void>(enter_local("GetSystemTimeAsFileTime"));
  timespec host{};
  ::clock_gettime(CLOCK_REALTIME, &host);
  put(now, (static_cast<std::uint64_t>(host.tv_sec) + kSecondsFrom1601To1970) * kUnitsPerSecond +
               static_cast<std::uint64_t>(host.tv_nsec) / 100);
}
