// The host process behind a process handle: resuming, waiting, reaping, exit codes, killing, and
// the registry that ends whatever tests leave running when the machine is reset.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
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

// Locked: a console signal is forwarded from winsim's dispatcher thread.
struct Registry {
  std::mutex lock;
  std::vector<std::shared_ptr<HostProcess>> processes;
  std::vector<ProcessStart> starts;
  std::vector<JobLimitSetting> job_settings;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

void end_all() {
  std::lock_guard hold(registry().lock);
  for (const auto& process : registry().processes)
    process->kill_all();
  registry().processes.clear();
}

// Blocks until `fd` is readable or `milliseconds` (INFINITE: no limit) pass. Without a
// descriptor it sleeps a short step, and the caller looks again.
void await_descriptor(int fd, int milliseconds) {
  constexpr int kStep = 2;
  if (fd < 0) {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(milliseconds < 0 ? kStep : std::min(milliseconds, kStep)));
    return;
  }
  pollfd entry{fd, POLLIN, 0};
  ::poll(&entry, 1, milliseconds);  // EINTR: the caller looks again
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

int open_process_descriptor(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

HostProcess::HostProcess(pid_t pid, int go_fd, int exec_status_fd, int terminal_fd)
    : pid_(pid),
      pidfd_(open_process_descriptor(pid)),
      go_fd_(go_fd),
      exec_status_fd_(exec_status_fd),
      terminal_fd_(terminal_fd) {
  // The child is not reaped before this object exists, so its /proc entry is there.
  if (auto times = host_process_times(pid)) creation_time_ = times->creation;
}

HostProcess::~HostProcess() {
  // A child still suspended reads the end of its start pipe and leaves without running anything.
  close_fd(pidfd_);
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
  std::lock_guard hold(lock_);
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

// Waits on the end descriptor, holding no lock, so that another thread may reap, terminate or
// look at the process meanwhile; the reaping itself is ended()'s, under the lock.
bool HostProcess::wait_for(DWORD milliseconds) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    if (ended()) return true;
    int left = -1;
    if (milliseconds != INFINITE) {
      auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (rest <= 0) return false;
      left = static_cast<int>(rest);
    }
    await_descriptor(pidfd_, left);
  }
}

DWORD HostProcess::exit_code() const {
  std::lock_guard hold(lock_);
  const int status = status_.value_or(0);
  if (terminated_with_ && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
    return *terminated_with_;
  return exit_code_from_status(status);
}

void HostProcess::kill_with(DWORD code) {
  std::lock_guard hold(lock_);
  if (status_) return;
  terminated_with_ = code;
  ::kill(pid_, SIGKILL);
}

void HostProcess::terminate(DWORD code) {
  kill_with(code);
  wait_for(INFINITE);
}

void HostProcess::signal_job_group(int signal, std::set<pid_t>& done) {
  std::lock_guard hold(lock_);
  // Until the process is reaped its id, and so its group's, cannot be given to another process.
  if (status_ || !group_ || own_group(*group_) || !done.insert(*group_).second) return;
  ::killpg(*group_, signal);
}

void HostProcess::joined(pid_t group, bool kill_on_close) {
  std::lock_guard hold(lock_);
  group_ = group;
  kill_on_close_ = kill_on_close;
}

void HostProcess::kill_all() {
  {
    std::lock_guard hold(lock_);
    if (group_ && !own_group(*group_)) ::killpg(*group_, SIGKILL);
    if (status_) return;
    ::kill(pid_, SIGKILL);
  }
  wait_for(INFINITE);
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

void forward_to_job_groups(int signal) {
  std::lock_guard hold(registry().lock);
  std::set<pid_t> signalled;
  for (const auto& process : registry().processes)
    process->signal_job_group(signal, signalled);
}

void register_process(std::shared_ptr<HostProcess> process) {
  ensure_section();
  std::lock_guard hold(registry().lock);
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
  std::lock_guard hold(detail::registry().lock);
  const auto& processes = detail::registry().processes;
  return static_cast<std::size_t>(
      std::count_if(processes.begin(), processes.end(), [](const auto& p) { return !p->ended(); }));
}

void end_processes() {
  detail::end_all();
}

}  // namespace winsim
