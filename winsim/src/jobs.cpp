// Job objects as host process groups. Assigning a process puts it into the job's group while it
// is still suspended, so everything it starts is in the group too; closing the last handle of a
// job whose limits say kill-on-close kills the whole group.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "processes.h"
#include "winsim/process_testing.h"

using namespace winsim::detail;

namespace {

constexpr DWORD kValidBasicLimitFlags = 0x000000FF;
constexpr DWORD kValidExtendedLimitFlags = 0x0007FFFF;

struct JobObject final : HandleObject {
  ~JobObject() override {
    if (!(limit_flags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE)) return;
    for (const auto& member : members)
      member->kill_all();
  }
  std::string_view kind() const override { return "job"; }

  // A console handler's thread may terminate the job while the main thread changes it.
  std::mutex lock;
  DWORD limit_flags = 0;
  std::optional<pid_t> group;
  std::vector<std::shared_ptr<HostProcess>> members;
};

}  // namespace

HANDLE CreateJobObjectW(LPSECURITY_ATTRIBUTES /*attributes*/, LPCWSTR name) {
  if (DWORD error = enter("CreateJobObjectW", narrow(name))) return fail<HANDLE>(error, nullptr);
  // Named jobs are shared between processes by name; winsim has one process per machine view.
  if (name != nullptr && *name != 0) return fail<HANDLE>(ERROR_NOT_SUPPORTED, nullptr);
  return add_handle(std::make_shared<JobObject>(), Release::CloseHandle, "CreateJobObjectW");
}

BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS info_class, LPVOID info, DWORD length) {
  if (DWORD error = enter("SetInformationJobObject", std::to_string(info_class)))
    return fail(error, FALSE);
  auto object = find_handle_as<JobObject>(job);
  if (!object) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (info == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  DWORD valid_flags = 0;
  switch (info_class) {
    case JobObjectBasicLimitInformation:
      if (length != sizeof(JOBOBJECT_BASIC_LIMIT_INFORMATION)) return fail(kErrorBadLength, FALSE);
      valid_flags = kValidBasicLimitFlags;
      break;
    case JobObjectExtendedLimitInformation:
      if (length != sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION))
        return fail(kErrorBadLength, FALSE);
      valid_flags = kValidExtendedLimitFlags;
      break;
    default:
      return fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  // Both records begin with the basic limits.
  JOBOBJECT_BASIC_LIMIT_INFORMATION basic;
  std::memcpy(&basic, info, sizeof basic);
  if ((basic.LimitFlags & ~valid_flags) != 0) return fail(ERROR_INVALID_PARAMETER, FALSE);
  std::lock_guard hold(object->lock);
  object->limit_flags = basic.LimitFlags;
  const bool kill_on_close = (basic.LimitFlags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) != 0;
  for (const auto& member : object->members)
    member->set_kill_on_close(kill_on_close);
  record_job_setting(
      winsim::JobLimitSetting{static_cast<DWORD>(info_class), length, basic.LimitFlags});
  return TRUE;
}

BOOL AssignProcessToJobObject(HANDLE job, HANDLE process) {
  if (DWORD error = enter("AssignProcessToJobObject")) return fail(error, FALSE);
  auto object = find_handle_as<JobObject>(job);
  auto target = find_handle_as<ProcessObject>(process);
  if (!object || !target) return fail(ERROR_INVALID_HANDLE, FALSE);
  const std::shared_ptr<HostProcess>& member = target->process;
  if (member->ended()) return fail(ERROR_ACCESS_DENIED, FALSE);
  std::lock_guard hold(object->lock);
  if (member->group()) {
    const bool here =
        std::find(object->members.begin(), object->members.end(), member) != object->members.end();
    // Jobs do not nest here: a process belongs to one job.
    return here ? TRUE : fail(ERROR_ACCESS_DENIED, FALSE);
  }
  // The first process founds the job's group. A host process changes group only before it runs
  // its program, so a process that already runs cannot join.
  const pid_t group = object->group.value_or(member->pid());
  if (::setpgid(member->pid(), group) != 0) return fail(ERROR_ACCESS_DENIED, FALSE);
  object->group = group;
  object->members.push_back(member);
  member->joined(group, (object->limit_flags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) != 0);
  return TRUE;
}

BOOL TerminateJobObject(HANDLE job, UINT exit_code) {
  if (DWORD error = enter_local("TerminateJobObject")) return fail(error, FALSE);
  auto object = find_handle_as<JobObject>(job);
  if (!object) return fail(ERROR_INVALID_HANDLE, FALSE);
  std::vector<std::shared_ptr<HostProcess>> members;
  {
    std::lock_guard hold(object->lock);
    members = object->members;
  }
  // Every member is marked with the code before the group is killed, so none of them reads as
  // merely killed; then the group takes whatever else the command started.
  for (const auto& member : members)
    member->kill_with(exit_code);
  std::set<pid_t> killed;
  for (const auto& member : members)
    member->signal_job_group(SIGKILL, killed);
  for (const auto& member : members)
    member->wait_for(INFINITE);
  return TRUE;
}
