// The host process behind a process handle: resuming, waiting, reaping, exit codes, killing, and
// the registry that ends whatever tests leave running when the machine is reset.
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "processes.h"

namespace winsim::detail {
namespace {

// NTSTATUS values that a death by signal reads as.
constexpr DWORD kStatusAccessViolation = 0xC0000005;
constexpr DWORD kStatusIllegalInstruction = 0xC000001D;
constexpr DWORD kStatusIntegerDivideByZero = 0xC0000094;
constexpr DWORD kStatusControlCExit = 0xC000013A;
// abort() in a Windows program ends it with exit code 3.
constexpr DWORD kAbortExitCode = 3;

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool own_group(pid_t group) {
  return group <= 1 || group == ::getpgrp();
}

struct Registry {
  std::vector<std::shared_ptr<HostProcess>> processes;
  std::vector<ProcessStart> starts;
  std::vector<JobLimitSetting> job_settings;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

void end_all() {
  for (const auto& process : registry().processes)
    process->kill_all();
  registry().processes.clear();
}

// Processes are not persisted; a reset ends them and forgets what tests could inspect.
void ensure_section() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  register_section(StateSection{"", {}, {}, [] {
                                  end_all();
                                  registry().starts.clear();
                                  registry().job_settings.clear();
                                }});
}

}  // namespace

HostProcess::HostProcess(pid_t pid, int go_fd, int exec_status_fd, int terminal_fd)
    : pid_(pid), go_fd_(go_fd), exec_status_fd_(exec_status_fd), terminal_fd_(terminal_fd) {}

HostProcess::~HostProcess() {
  // A child still suspended reads the end of its start pipe and leaves without running anything.
  close_fd(go_fd_);
  close_fd(exec_status_fd_);
  close_fd(terminal_fd_);
}

DWORD HostProcess::resume() {
  if (go_fd_ < 0) return ERROR_SUCCESS;
  unsigned char go = 0;
  if (kill_on_close_) go |= kStartDieWithParent;
  if (group_ && terminal_fd_ >= 0) go |= kStartTakeTerminal;
  ssize_t written;
  do {
    written = ::write(go_fd_, &go, 1);
  } while (written < 0 && errno == EINTR);
  close_fd(go_fd_);
  // The exec status pipe closes on a successful exec; before that the child reports its errno.
  int child_errno = 0;
  std::size_t got = 0;
  while (got < sizeof child_errno) {
    ssize_t n = ::read(exec_status_fd_, reinterpret_cast<char*>(&child_errno) + got,
                       sizeof child_errno - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close_fd(exec_status_fd_);
  if (got < sizeof child_errno) return ERROR_SUCCESS;
  wait_for(INFINITE);
  return child_errno == ENOEXEC ? kErrorBadExeFormat : win32_error_from_errno(child_errno);
}

bool HostProcess::ended() {
  if (status_) return true;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  // Someone else reaped it (a waitpid(-1) elsewhere in the host process): the code is lost.
  reaped(r == pid_ ? status : (1 << 8));
  return true;
}

bool HostProcess::wait_for(DWORD milliseconds) {
  if (ended()) return true;
  if (milliseconds == INFINITE) {
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(pid_, &status, 0);
    } while (r < 0 && errno == EINTR);
    reaped(r == pid_ ? status : (1 << 8));
    return true;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  auto step = std::chrono::milliseconds(1);
  while (Clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    std::this_thread::sleep_for(std::min(step, left));
    if (ended()) return true;
    step = std::min(step * 2, std::chrono::milliseconds(20));
  }
  return ended();
}

DWORD HostProcess::exit_code() const {
  const int status = status_.value_or(0);
  if (terminated_with_ && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
    return *terminated_with_;
  return exit_code_from_status(status);
}

void HostProcess::terminate(DWORD code) {
  terminated_with_ = code;
  ::kill(pid_, SIGKILL);
  close_fd(go_fd_);
  wait_for(INFINITE);
}

void HostProcess::joined(pid_t group, bool kill_on_close) {
  group_ = group;
  kill_on_close_ = kill_on_close;
}

void HostProcess::kill_all() {
  if (group_ && !own_group(*group_)) ::killpg(*group_, SIGKILL);
  if (!status_) {
    ::kill(pid_, SIGKILL);
    close_fd(go_fd_);
    wait_for(INFINITE);
  }
}

void HostProcess::reaped(int status) {
  status_ = status;
  close_fd(go_fd_);
  close_fd(exec_status_fd_);
  give_back_terminal();
}

// A process group that was handed the terminal gives it back when its first process ends, as a
// shell takes it back when a foreground job ends.
void HostProcess::give_back_terminal() {
  if (terminal_fd_ < 0) return;
  if (group_ && ::tcgetpgrp(terminal_fd_) == *group_) {
    sigset_t ttou, saved;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    ::pthread_sigmask(SIG_BLOCK, &ttou, &saved);
    ::tcsetpgrp(terminal_fd_, ::getpgrp());
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  }
  close_fd(terminal_fd_);
}

DWORD exit_code_from_status(int status) {
  if (WIFEXITED(status)) return static_cast<DWORD>(WEXITSTATUS(status));
  if (!WIFSIGNALED(status)) return 1;
  switch (WTERMSIG(status)) {
    case SIGSEGV:
    case SIGBUS:
      return kStatusAccessViolation;
    case SIGILL:
      return kStatusIllegalInstruction;
    case SIGFPE:
      return kStatusIntegerDivideByZero;
    case SIGINT:
    case SIGTERM:
    case SIGHUP:
    case SIGQUIT:
      return kStatusControlCExit;
    case SIGABRT:
      return kAbortExitCode;
    default:  // SIGKILL and the rest: as TerminateProcess(process, 1) would leave it
      return 1;
  }
}

std::shared_ptr<HostProcess> process_of(HANDLE handle) {
  auto object = find_handle(handle);
  if (auto process = std::dynamic_pointer_cast<ProcessObject>(object)) return process->process;
  if (auto thread = std::dynamic_pointer_cast<ThreadObject>(object)) return thread->process;
  return nullptr;
}

void register_process(std::shared_ptr<HostProcess> process) {
  ensure_section();
  auto& processes = registry().processes;
  // Forget processes that ended and that nothing refers to any more.
  std::erase_if(processes, [](const std::shared_ptr<HostProcess>& p) {
    return p.use_count() == 1 && p->ended() && !p->group();
  });
  processes.push_back(std::move(process));
}

void record_start(ProcessStart start) {
  ensure_section();
  registry().starts.push_back(std::move(start));
}

void record_job_setting(JobLimitSetting setting) {
  ensure_section();
  registry().job_settings.push_back(setting);
}

}  // namespace winsim::detail

namespace winsim {

const std::vector<ProcessStart>& process_starts() {
  return detail::registry().starts;
}

const std::vector<JobLimitSetting>& job_limit_settings() {
  return detail::registry().job_settings;
}

std::size_t running_processes() {
  const auto& processes = detail::registry().processes;
  return static_cast<std::size_t>(
      std::count_if(processes.begin(), processes.end(), [](const auto& p) { return !p->ended(); }));
}

void end_processes() {
  detail::end_all();
}

}  // namespace winsim
