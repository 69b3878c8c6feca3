// Shared pieces of processes, jobs, pipes and attribute lists: the host process behind a process
// handle, the objects that handles name, and the parsing of command lines and attribute lists.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "internal.h"
#include "winsim/process.h"
#include "winsim/process_testing.h"

namespace winsim::detail {

// Win32 errors that only this area gives.
inline constexpr DWORD kErrorBadLength = 24;      // ERROR_BAD_LENGTH
inline constexpr DWORD kErrorBadExeFormat = 193;  // ERROR_BAD_EXE_FORMAT

// "0x" and eight upper-case hexadecimal digits, for trace keys.
inline std::string hex8(DWORD value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

// ---- Host processes --------------------------------------------------------------------------

// The byte that lets a suspended child go on: what it must do before running its program.
inline constexpr unsigned char kStartDieWithParent = 0x1;  // its job dies with this process
inline constexpr unsigned char kStartTakeTerminal = 0x2;   // its group takes the terminal

// ---- Process identity ------------------------------------------------------------------------

// A descriptor that becomes readable when the host process ends (a pidfd), or -1 where the host
// has none (the waits then poll).
int open_process_descriptor(pid_t pid);

// What /proc tells of a host process: its start as a FILETIME value (100 ns units since
// 1601-01-01 UTC), the same at every read, so that a reused process id is told apart by it; and
// the processor time it used, in the same units. Nothing once the process has been reaped.
struct HostProcessTimes {
  std::uint64_t creation = 0;
  std::uint64_t kernel = 0;
  std::uint64_t user = 0;
};
std::optional<HostProcessTimes> host_process_times(pid_t pid);

// One process started by CreateProcessW: a host child of this process. Shared by its process and
// thread handles, the job it belongs to and the registry that makes sure nothing outlives a
// reset. A console handler's thread may wait for it or terminate it while the main thread does
// the same, so its exit status is kept under a lock.
class HostProcess {
 public:
  HostProcess(pid_t pid, int go_fd, int exec_status_fd, int terminal_fd);
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool suspended() const { return go_fd_ >= 0; }
  // Read when the process was started, so it stays known after the process is reaped.
  std::uint64_t creation_time() const { return creation_time_; }
  // Readable once the process has ended; -1 when the host gives no such descriptor.
  int end_descriptor() const { return pidfd_; }

  // Lets a suspended child go on to run its program. Fails with the Win32 error of a program
  // that could not be executed after all (the child has then ended).
  DWORD resume();
  // Whether the process has ended, reaping it if it has.
  bool ended();
  // Blocks until the process ends, or until `milliseconds` have passed. True when it ended.
  bool wait_for(DWORD milliseconds);
  // The exit code of an ended process, as Windows reports it (see exit_code_from_status).
  DWORD exit_code() const;
  // Kills the process and waits for it; its exit code becomes `code`.
  void terminate(DWORD code);
  // The first half of terminate(): kills a process that has not ended, so that its exit code
  // reads as `code` once it is reaped. Several processes can be killed before they are waited for.
  void kill_with(DWORD code);
  // Sends `signal` to the process's job group, unless the process has been reaped (the group's id
  // could then belong to someone else), it has no group of its own, or the group is in `done`,
  // to which it is added.
  void signal_job_group(int signal, std::set<pid_t>& done);

  // Job membership: the process group the process was put in, and whether the job kills its
  // processes when it is closed (then the child dies with this process too, see resume()).
  std::optional<pid_t> group() const {
    std::lock_guard hold(lock_);
    return group_;
  }
  void joined(pid_t group, bool kill_on_close);
  void set_kill_on_close(bool kill) { kill_on_close_ = kill; }

  // Kills everything of this process that may still run: the process and, when it is in a job,
  // the job's process group. Reaps the process.
  void kill_all();

 private:
  void reaped(int status);
  void give_back_terminal();

  pid_t pid_;
  std::uint64_t creation_time_ = 0;
  int pidfd_ = -1;
  mutable std::mutex lock_;  // the exit status and how the process was terminated
  int go_fd_;                // write end of the start pipe while the process is suspended
  int exec_status_fd_;       // read end of the pipe that reports a failed exec
  int terminal_fd_;          // the terminal the process group may be handed, to take it back
  std::optional<int> status_;
  std::optional<DWORD> terminated_with_;
  std::optional<pid_t> group_;
  bool kill_on_close_ = false;
};

// The handle objects of a process and of its main thread.
struct ProcessObject final : HandleObject {
  explicit ProcessObject(std::shared_ptr<HostProcess> host) : process(std::move(host)) {}
  std::string_view kind() const override { return "process"; }
  std::shared_ptr<HostProcess> process;
};

struct ThreadObject final : HandleObject {
  explicit ThreadObject(std::shared_ptr<HostProcess> host) : process(std::move(host)) {}
  std::string_view kind() const override { return "thread"; }
  std::shared_ptr<HostProcess> process;
};

// A process opened by its id: any host process, not necessarily one this process started.
struct OpenedProcess final : HandleObject {
  OpenedProcess(pid_t id, int end, std::uint64_t created)
      : pid(id), end_fd(end), creation_time(created) {}
  ~OpenedProcess() override;
  OpenedProcess(const OpenedProcess&) = delete;
  OpenedProcess& operator=(const OpenedProcess&) = delete;
  std::string_view kind() const override { return "process"; }
  // Ended: gone, or a zombie its parent has not reaped yet.
  bool ended() const;

  pid_t pid;
  int end_fd;  // readable once the process has ended; -1 without pidfds
  std::uint64_t creation_time;
};

// GetCurrentProcess()'s pseudo handle: never in the handle table, never closed.
inline HANDLE current_process_handle() {
  return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

// The process behind a process or thread handle, or null.
std::shared_ptr<HostProcess> process_of(HANDLE handle);

// Forwards a console signal to the job groups of the processes this process started and has not
// reaped: they share its console, and a job's group does not get what the terminal sends ours.
void forward_to_job_groups(int signal);

// The Windows exit code of a host wait status: the exit status of a normal exit, and for a
// death by signal the NTSTATUS of the matching Windows failure.
DWORD exit_code_from_status(int status);

// ---- Pipes -----------------------------------------------------------------------------------

struct PipeEnd final : HandleObject {
  explicit PipeEnd(int descriptor) : fd(descriptor) {}
  ~PipeEnd() override;
  PipeEnd(const PipeEnd&) = delete;
  PipeEnd& operator=(const PipeEnd&) = delete;
  std::string_view kind() const override { return "pipe"; }
  int host_fd() const override { return fd; }

  int fd;
};

// ---- Command lines ---------------------------------------------------------------------------

// The words of a command line, split as the C runtime splits them: the first word takes quotes
// only as grouping; the others follow the backslash-and-quote rules.
std::vector<std::u16string> split_command_line(std::u16string_view line);

// The host file that runs for `program` (the first word of a command line), or the Win32 error
// of a program that cannot be found or run.
struct ProgramSearch {
  std::string host_path;
  DWORD error = ERROR_SUCCESS;
};
ProgramSearch find_program(std::u16string_view program);

// ---- Attribute lists -------------------------------------------------------------------------

// What an initialised attribute list holds, for CreateProcessW.
struct StartAttributes {
  std::size_t count = 0;
  const SECURITY_CAPABILITIES* security_capabilities = nullptr;
  std::vector<HANDLE> handle_list;
  bool has_handle_list = false;
};
// Null when `list` was not initialised by InitializeProcThreadAttributeList.
std::optional<StartAttributes> read_attributes(LPPROC_THREAD_ATTRIBUTE_LIST list);

// ---- Test facilities -------------------------------------------------------------------------

// Keeps every started process until the machine is reset, when whatever still runs is killed.
void register_process(std::shared_ptr<HostProcess> process);
void record_start(winsim::ProcessStart start);
void record_job_setting(winsim::JobLimitSetting setting);

}  // namespace winsim::detail
