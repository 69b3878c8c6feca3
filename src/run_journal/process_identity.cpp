#include "run_journal/process_identity.h"

#include "win/unique.h"

namespace tavo {
namespace {

std::uint64_t ticks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::optional<std::uint64_t> creation_time(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return std::nullopt;
  return ticks(created);
}

}  // namespace

std::optional<ProcessIdentity> current_process() {
  auto created = creation_time(GetCurrentProcess());
  if (!created) return std::nullopt;
  return ProcessIdentity{GetCurrentProcessId(), *created};
}

bool may_be_running(const ProcessIdentity& process) {
  unique_handle handle(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, process.pid));
  if (!handle) {
    // The platform answers an id that names no process with ERROR_INVALID_PARAMETER; any other
    // failure (no access, most often) leaves the process possibly alive.
    return GetLastError() != ERROR_INVALID_PARAMETER;
  }
  auto created = creation_time(handle.get());
  if (!created) return true;
  if (*created != process.created) return false;  // the id now names another process
  return WaitForSingleObject(handle.get(), 0) != WAIT_OBJECT_0;
}

}  // namespace tavo
