#include "launch/spawn.h"

#include "base/debug_text.h"
#include "base/quoting.h"
#include "runtime/log.h"
#include "win/attribute_list.h"
#include "win/child_std_handles.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

// The container gets no capabilities: the record carries none.
constexpr DWORD kCapabilityCount = 0;
// Suspended, so that the process is in its job before its first instruction runs. Nothing
// else: the command shares this process's console and environment.
constexpr DWORD kLaunchFlags = EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED;

// What a process ended by Ctrl-C or a console's close reads as; the command ended on a close
// reads the same.
constexpr UINT kControlCExit = 0xC000013A;

static_assert(sizeof(SECURITY_CAPABILITIES) == 24);
static_assert(sizeof(STARTUPINFOEXW) == 112);
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144);

struct StartedProcess {
  unique_handle process;
  unique_handle thread;
  DWORD pid;
};

// Creates the process suspended in the AppContainer, inheriting exactly its three standard
// handles. The attribute list and this process's copies of those handles are released when this
// returns: only the creation reads them.
std::expected<StartedProcess, HresultError> create_suspended(PSID sid, WideString& line,
                                                             const WideString* directory) {
  auto handles = ChildStdHandles::of_this_process();
  if (!handles) return std::unexpected(handles.error());
  auto list = AttributeList::create(2);
  if (!list) return std::unexpected(list.error());
  SECURITY_CAPABILITIES capabilities{};
  capabilities.AppContainerSid = sid;
  capabilities.Capabilities = nullptr;
  capabilities.CapabilityCount = kCapabilityCount;
  capabilities.Reserved = 0;
  if (auto set = list->update(PROC_THREAD_ATTRIBUTE_SECURITY_CAPABILITIES, &capabilities,
                              sizeof capabilities);
      !set) {
    return std::unexpected(set.error());
  }
  STARTUPINFOEXW info{};
  info.StartupInfo.cb = sizeof info;
  if (auto handed = handles->hand_to(*list, info); !handed) return std::unexpected(handed.error());
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, kLaunchFlags, nullptr,
                      directory != nullptr ? directory->c_str() : nullptr, &info.StartupInfo,
                      &created)) {
    return std::unexpected(HresultError::from_last_error());
  }
  return StartedProcess{unique_handle(created.hProcess), unique_handle(created.hThread),
                        created.dwProcessId};
}

// Puts the process into a new anonymous job that kills every process in it when its last
// handle closes. `job` receives the job as soon as it exists, so that the caller closes it.
std::expected<void, HresultError> confine_to_job(HANDLE process, unique_handle& job) {
  job.reset(CreateJobObjectW(nullptr, nullptr));
  if (!job) return std::unexpected(HresultError::from_last_error());
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof limits)) {
    return std::unexpected(HresultError::from_last_error());
  }
  if (!AssignProcessToJobObject(job.get(), process))
    return std::unexpected(HresultError::from_last_error());
  return {};
}

// Waits for the process to end. A signalled `stop` ends the job, and so the process, first.
bool wait_for_end(HANDLE process, HANDLE job, HANDLE stop) {
  if (stop != nullptr) {
    const HANDLE either[] = {process, stop};
    const DWORD woken = WaitForMultipleObjects(2, either, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0 + 1) {
      log(Level::Info, kTargetSpawn, "the console is going away: ending the command");
      if (!TerminateJobObject(job, kControlCExit)) return false;
    } else if (woken != WAIT_OBJECT_0) {
      return false;
    }
  }
  return WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0;
}

}  // namespace

bool is_launchable_program(std::string_view command) {
  return command.find('"') == std::string_view::npos;
}

std::expected<std::uint32_t, HresultError> launch_sandboxed(PSID sid, std::string_view command,
                                                            const std::vector<std::string>& args,
                                                            const std::optional<std::string>& cwd,
                                                            HANDLE stop) {
  log(Level::Debug, kTargetSpawn, "command={} args={} cwd={} caps={}", command, args.size(),
      debug_optional(cwd), kCapabilityCount);
  std::optional<std::string> text = command_line(command, args);
  if (!text) return std::unexpected(HresultError::from_win32(ERROR_INVALID_NAME));
  WideString line = to_wide_nul(*text);
  std::optional<WideString> directory;
  if (cwd) directory = to_wide_nul(*cwd);

  auto started = create_suspended(sid, line, directory ? &*directory : nullptr);
  if (!started) return std::unexpected(started.error());
  log(Level::Debug, kTargetSpawn, "CreateProcessW succeeded, pid={}", started->pid);

  unique_handle job;
  auto close_all = [&] {
    started->process.reset();
    started->thread.reset();
    job.reset();  // last: closing the job ends whatever is left of the process tree
  };
  // Once the process exists no failure leaves it running: it is ended with exit code 1.
  auto abandon = [&](HresultError error) {
    TerminateProcess(started->process.get(), 1);
    close_all();
    return std::unexpected(std::move(error));
  };

  if (auto confined = confine_to_job(started->process.get(), job); !confined)
    return abandon(confined.error());
  // A process that cannot be resumed would never end, and a wait that failed says nothing about
  // the process: either way the launch fails rather than wait forever or read a running
  // process's exit code.
  if (ResumeThread(started->thread.get()) == static_cast<DWORD>(-1))
    return abandon(HresultError::from_last_error());
  if (!wait_for_end(started->process.get(), job.get(), stop))
    return abandon(HresultError::from_last_error());
  DWORD exit_code = 0;
  if (!GetExitCodeProcess(started->process.get(), &exit_code)) {
    HresultError error = HresultError::from_last_error();
    close_all();
    return std::unexpected(std::move(error));
  }
  close_all();
  return exit_code;
}

}  // namespace tavo
