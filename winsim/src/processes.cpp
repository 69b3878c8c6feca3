// Processes: CreateProcessW starts a real host process. The child is forked at once and waits on
// a start pipe, so a suspended process runs nothing (not even its program's first instruction)
// until ResumeThread; only then does it take its standard handles, close every other descriptor
// and exec the program. A failed exec comes back through a close-on-exec pipe.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "console_events.h"
#include "processes.h"
#include "winsim/kernel.h"

extern char** environ;

using namespace winsim::detail;

namespace {

constexpr DWORD kKnownCreationFlags = CREATE_SUSPENDED | CREATE_NEW_CONSOLE |
                                      CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT |
                                      CREATE_NO_WINDOW;
// A standard descriptor of the child that stays the parent's own (the shared console).
constexpr int kParentsDescriptor = -2;

// Everything the child needs after fork, prepared before it: the child may not allocate.
struct ChildPlan {
  const char* program;
  char* const* argv;
  const char* current_directory;  // null: the parent's
  int std_fds[3];                 // a descriptor, -1 for none, or kParentsDescriptor
  int go_read, go_write, status_read, status_write;
  pid_t parent;
  int max_fd;
  bool ignore_ctrl_c;    // inherited from SetConsoleCtrlHandler(NULL, TRUE)
  sigset_t signal_mask;  // the creating thread's, restored once the console signals are reset
};

[[noreturn]] void report_and_exit(int fd, int error) {
  [[maybe_unused]] ssize_t ignored = ::write(fd, &error, sizeof error);
  ::_exit(127);
}

[[noreturn]] void run_child(const ChildPlan& plan) {
  // Forked with every signal blocked: the parent's console handlers must never run here.
  reset_console_signals_in_child(plan.ignore_ctrl_c);
  ::sigprocmask(SIG_SETMASK, &plan.signal_mask, nullptr);
  ::close(plan.go_write);
  ::close(plan.status_read);
  unsigned char go = 0;
  ssize_t n;
  do {
    n = ::read(plan.go_read, &go, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1) ::_exit(1);  // never resumed: the parent terminated it or went away
  if (go & kStartDieWithParent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != plan.parent) ::_exit(1);
  }
  int sources[3];
  for (int i = 0; i < 3; ++i) {
    const int from = plan.std_fds[i] == kParentsDescriptor ? i : plan.std_fds[i];
    sources[i] = from < 0 ? -1 : ::fcntl(from, F_DUPFD_CLOEXEC, 3);
  }
  for (int i = 0; i < 3; ++i) {
    if (sources[i] >= 0)
      ::dup2(sources[i], i);
    else
      ::close(i);
  }
  // Nothing else of the parent's goes through exec.
  if (::close_range(3, ~0u, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = 3; fd < plan.max_fd; ++fd)
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  if (go & kStartTakeTerminal) {
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    ::sigprocmask(SIG_BLOCK, &ttou, nullptr);
    ::tcsetpgrp(0, ::getpgrp());
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (plan.current_directory != nullptr && ::chdir(plan.current_directory) != 0)
    report_and_exit(plan.status_write, errno);
  ::execve(plan.program, plan.argv, environ);
  report_and_exit(plan.status_write, errno);
}

// A pipe whose ends are close-on-exec and above the standard descriptors, so that setting up the
// child's standard descriptors cannot overwrite them.
bool make_pipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    if (fds[i] >= 3) continue;
    int moved = ::fcntl(fds[i], F_DUPFD_CLOEXEC, 3);
    ::close(fds[i]);
    fds[i] = moved;
  }
  if (fds[0] >= 0 && fds[1] >= 0) return true;
  if (fds[0] >= 0) ::close(fds[0]);
  if (fds[1] >= 0) ::close(fds[1]);
  return false;
}

bool is_appcontainer_sid(const void* sid) {
  if (sid == nullptr || !sid_is_valid(sid)) return false;
  const auto* bytes = static_cast<const BYTE*>(sid);
  const BYTE count = bytes[1];
  const bool app_authority = bytes[2] == 0 && bytes[3] == 0 && bytes[4] == 0 && bytes[5] == 0 &&
                             bytes[6] == 0 && bytes[7] == 15;
  DWORD first = 0;
  if (count > 0) std::memcpy(&first, bytes + 8, sizeof first);
  // A package's container (seven hashed parts) or a child container of one (eleven).
  return app_authority && first == 2 && (count == 8 || count == 12);
}

bool is_capability_sid(const void* sid) {
  if (sid == nullptr || !sid_is_valid(sid)) return false;
  const auto* bytes = static_cast<const BYTE*>(sid);
  DWORD first = 0;
  if (bytes[1] > 0) std::memcpy(&first, bytes + 8, sizeof first);
  return bytes[7] == 15 && bytes[2] == 0 && bytes[3] == 0 && bytes[4] == 0 && bytes[5] == 0 &&
         bytes[6] == 0 && bytes[1] >= 2 && first == 3;
}

DWORD check_capabilities(const SECURITY_CAPABILITIES& caps) {
  if (!is_appcontainer_sid(caps.AppContainerSid)) return ERROR_INVALID_PARAMETER;
  if (caps.CapabilityCount > 0 && caps.Capabilities == nullptr) return ERROR_INVALID_PARAMETER;
  for (DWORD i = 0; i < caps.CapabilityCount; ++i) {
    if (!is_capability_sid(caps.Capabilities[i].Sid)) return ERROR_INVALID_PARAMETER;
  }
  return ERROR_SUCCESS;
}

// The descriptor a standard handle gives the child: none when the handle is not inherited.
int inherited_descriptor(HANDLE handle, const std::optional<StartAttributes>& attributes) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !is_inheritable(handle)) return -1;
  auto object = find_handle(handle);
  if (!object) return -1;
  if (attributes && attributes->has_handle_list &&
      std::find(attributes->handle_list.begin(), attributes->handle_list.end(), handle) ==
          attributes->handle_list.end()) {
    return -1;
  }
  return object->host_fd();
}

// Every handle of a handle list must be open, inheritable and listed once. GetCurrentProcess()'s
// pseudo handle is INVALID_HANDLE_VALUE, which no table holds.
DWORD check_handle_list(const StartAttributes& attributes, BOOL inherit_handles) {
  if (!attributes.has_handle_list) return ERROR_SUCCESS;
  if (!inherit_handles) return ERROR_INVALID_PARAMETER;
  const std::vector<HANDLE>& list = attributes.handle_list;
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (!is_inheritable(*it)) return ERROR_INVALID_PARAMETER;
    // What the platform does with a handle listed twice is not known *(A)*: refused, so that a
    // program that relies on it is caught here.
    if (std::find(list.begin(), it, *it) != it) return ERROR_INVALID_PARAMETER;
  }
  return ERROR_SUCCESS;
}

// The terminal the child's standard input is, when this process holds it in the foreground: a
// job's process group is handed the terminal while it runs, so that it may read from it.
int foreground_terminal(int stdin_fd) {
  if (stdin_fd < 0 || !::isatty(stdin_fd) || ::tcgetpgrp(stdin_fd) != ::getpgrp()) return -1;
  return ::fcntl(stdin_fd, F_DUPFD_CLOEXEC, 3);
}

}  // namespace

BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL inherit_handles, DWORD creation_flags,
                    LPVOID environment, LPCWSTR current_directory, LPSTARTUPINFOW startup_info,
                    LPPROCESS_INFORMATION process_information) {
  const std::u16string_view line = view(command_line);
  if (DWORD error = enter("CreateProcessW", narrow(line))) return fail(error, FALSE);
  if (command_line == nullptr || startup_info == nullptr || process_information == nullptr)
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (application_name != nullptr || environment != nullptr)
    return fail(ERROR_NOT_SUPPORTED, FALSE);
  if ((creation_flags & ~kKnownCreationFlags) != 0) return fail(ERROR_INVALID_PARAMETER, FALSE);

  const bool extended = (creation_flags & EXTENDED_STARTUPINFO_PRESENT) != 0;
  if (extended ? startup_info->cb != sizeof(STARTUPINFOEXW)
               : startup_info->cb < sizeof(STARTUPINFOW)) {
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  std::optional<StartAttributes> attributes;
  if (extended) {
    LPPROC_THREAD_ATTRIBUTE_LIST list =
        reinterpret_cast<STARTUPINFOEXW*>(startup_info)->lpAttributeList;
    if (list != nullptr) {
      attributes = read_attributes(list);
      if (!attributes) return fail(ERROR_INVALID_PARAMETER, FALSE);
    }
  }
  const SECURITY_CAPABILITIES* caps = attributes ? attributes->security_capabilities : nullptr;
  if (caps != nullptr) {
    const void* sid = caps->AppContainerSid;
    note("CreateProcessW.AppContainerSid",
         sid != nullptr && sid_is_valid(sid) ? sid_to_string(sid) : "(not a SID)");
    if (DWORD error = check_capabilities(*caps)) return fail(error, FALSE);
  }
  if (attributes) {
    if (DWORD error = check_handle_list(*attributes, inherit_handles)) return fail(error, FALSE);
  }

  const std::vector<std::u16string> words = split_command_line(line);
  const ProgramSearch program = find_program(words.empty() ? u"" : words.front());
  if (program.error != ERROR_SUCCESS) return fail(program.error, FALSE);

  std::optional<std::string> directory;
  if (current_directory != nullptr) {
    directory = host_path(view(current_directory));
    struct stat st {};
    if (!directory || ::stat(directory->c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      return fail(ERROR_DIRECTORY, FALSE);
  }

  std::vector<std::string> arguments;
  for (const std::u16string& word : words)
    arguments.push_back(to_host(word));
  std::vector<char*> argv;
  for (std::string& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);

  ChildPlan plan{};
  plan.program = program.host_path.c_str();
  plan.argv = argv.data();
  plan.current_directory = directory ? directory->c_str() : nullptr;
  plan.parent = ::getpid();
  plan.max_fd = static_cast<int>(std::min<long>(::sysconf(_SC_OPEN_MAX), 65536));
  for (int& fd : plan.std_fds)
    fd = kParentsDescriptor;
  if ((startup_info->dwFlags & STARTF_USESTDHANDLES) && inherit_handles) {
    const HANDLE handles[3] = {startup_info->hStdInput, startup_info->hStdOutput,
                               startup_info->hStdError};
    for (int i = 0; i < 3; ++i)
      plan.std_fds[i] = inherited_descriptor(handles[i], attributes);
  }

  int go[2], status[2];
  if (!make_pipe(go)) return fail(win32_error_from_errno(errno), FALSE);
  if (!make_pipe(status)) {
    ::close(go[0]);
    ::close(go[1]);
    return fail(win32_error_from_errno(errno), FALSE);
  }
  plan.go_read = go[0];
  plan.go_write = go[1];
  plan.status_read = status[0];
  plan.status_write = status[1];
  // Only a suspended process can join a job, and so have a process group of its own.
  const int terminal =
      creation_flags & CREATE_SUSPENDED
          ? foreground_terminal(plan.std_fds[0] == kParentsDescriptor ? STDIN_FILENO
                                                                      : plan.std_fds[0])
          : -1;

  plan.ignore_ctrl_c = console_ignores_ctrl_c();
  sigset_t every_signal;
  sigfillset(&every_signal);
  ::pthread_sigmask(SIG_SETMASK, &every_signal, &plan.signal_mask);
  const pid_t pid = ::fork();
  if (pid == 0) run_child(plan);
  ::pthread_sigmask(SIG_SETMASK, &plan.signal_mask, nullptr);
  ::close(go[0]);
  ::close(status[1]);
  if (pid < 0) {
    ::close(go[1]);
    ::close(status[0]);
    if (terminal >= 0) ::close(terminal);
    return fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  }
  auto process = std::make_shared<HostProcess>(pid, go[1], status[0], terminal);
  if (!(creation_flags & CREATE_SUSPENDED)) {
    if (DWORD error = process->resume()) return fail(error, FALSE);
  }
  register_process(process);

  winsim::ProcessStart start;
  start.command_line = narrow(line);
  start.program = program.host_path;
  start.inherit_handles = inherit_handles != FALSE;
  start.creation_flags = creation_flags;
  start.startup_size = startup_info->cb;
  start.startup_flags = startup_info->dwFlags;
  if (current_directory != nullptr) start.current_directory = narrow(current_directory);
  if (attributes) {
    start.attribute_count = attributes->count;
    start.handle_list_size = attributes->handle_list.size();
  }
  if (caps != nullptr) {
    start.appcontainer_sid = sid_to_string(caps->AppContainerSid);
    start.capability_count = caps->CapabilityCount;
  }
  start.process_id = static_cast<DWORD>(pid);
  record_start(std::move(start));

  process_information->hProcess =
      add_handle(std::make_shared<ProcessObject>(process), Release::CloseHandle, "CreateProcessW");
  process_information->hThread =
      add_handle(std::make_shared<ThreadObject>(process), Release::CloseHandle, "CreateProcessW");
  process_information->dwProcessId = static_cast<DWORD>(pid);
  process_information->dwThreadId = static_cast<DWORD>(pid);
  return TRUE;
}

DWORD ResumeThread(HANDLE thread) {
  constexpr DWORD kFailed = static_cast<DWORD>(-1);
  if (DWORD error = enter("ResumeThread")) return fail(error, kFailed);
  auto object = find_handle_as<ThreadObject>(thread);
  if (!object) return fail(ERROR_INVALID_HANDLE, kFailed);
  if (!object->process->suspended()) return 0;
  // A program that the exec refuses after all (rare: CreateProcessW checks what it can) ends
  // the process, and the resume fails with the reason.
  if (DWORD error = object->process->resume()) return fail(error, kFailed);
  return 1;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code) {
  if (DWORD error = enter_local("GetExitCodeProcess")) return fail(error, FALSE);
  if (exit_code == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (process == current_process_handle()) {
    *exit_code = STILL_ACTIVE;
    return TRUE;
  }
  if (auto opened = find_handle_as<OpenedProcess>(process)) {
    // Only the parent learns a host process's status; another process's ended with a code that
    // is not known here, read as 1 like a child reaped by someone else *(A)*.
    *exit_code = opened->ended() ? 1 : STILL_ACTIVE;
    return TRUE;
  }
  auto object = find_handle_as<ProcessObject>(process);
  if (!object) return fail(ERROR_INVALID_HANDLE, FALSE);
  *exit_code = object->process->ended() ? object->process->exit_code() : STILL_ACTIVE;
  return TRUE;
}

BOOL TerminateProcess(HANDLE process, UINT exit_code) {
  if (DWORD error = enter("TerminateProcess")) return fail(error, FALSE);
  auto object = find_handle_as<ProcessObject>(process);
  if (!object) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (object->process->ended()) return fail(ERROR_ACCESS_DENIED, FALSE);
  object->process->terminate(exit_code);
  return TRUE;
}
