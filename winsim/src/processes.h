// Shared pieces of processes, jobs, pipes and attribute lists: the host process behind a process
// handle, the objects that handles name, and the parsing of command lines and attribute lists.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <optional>
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

// One process started by CreateProcessW: a host child of this process. Shared by its process and
// thread handles, the job it belongs to and the registry that makes sure nothing outlives a
// reset.
class HostProcess {
 public:
  HostProcess(pid_t pid, int go_fd, int exec_status_fd, int terminal_fd);
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool suspended() const { return go_fd_ >= 0; }

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

  // Job membership: the process group the process was put in, and whether the job kills its
  // processes when it is closed (then the child dies with this process too, see resume()).
  std::optional<pid_t> group() const { return group_; }
  void joined(pid_t group, bool kill_on_close);
  void set_kill_on_close(bool kill) { kill_on_close_ = kill; }

  // Kills everything of this process that may still run: the process and, when it is in a job,
  // the job's process group. Reaps the process.
  void kill_all();

 private:
  void reaped(int status);
  void give_back_terminal();

  pid_t pid_;
  int go_fd_;           // write end of the start pipe while the process is suspended
  int exec_status_fd_;  // read end of the pipe that reports a failed exec
  int terminal_fd_;     // the terminal the process group may be handed, to take it back
  std::optional<int> status_;
  std::optional<DWORD> terminated_with_;
  std::optional<pid_t> group_;
  bool kill_on_close_ = false;
};

// The handle objects of a process and of its main thread.
struct ProcessObject final : HandleObject {
  explicit ProcessObject(std::shared_ptr<HostProcess> process) : process(std::move(process)) {}
  std::string_view kind() const override { return "process"; }
  std::shared_ptr<HostProcess> process;
};

struct ThreadObject final : HandleObject {
  explicit ThreadObject(std::shared_ptr<HostProcess> process) : process(std::move(process)) {}
  std::string_view kind() const override { return "thread"; }
  std::shared_ptr<HostProcess> process;
};

// The process behind a process or thread handle, or null.
std::shared_ptr<HostProcess> process_of(HANDLE handle);

// The Windows exit code of a host wait status: the exit status of a normal exit, and for a
// death by signal the NTSTATUS of the matching Windows failure.
DWORD exit_code_from_status(int status);

// ---- Pipes -----------------------------------------------------------------------------------

struct PipeEnd final : HandleObject {
  PipeEnd(int fd, bool inheritable) : fd(fd), inheritable(inheritable) {}
  ~PipeEnd() override;
  PipeEnd(const PipeEnd&) = delete;
  PipeEnd& operator=(const PipeEnd&) = delete;
  std::string_view kind() const override { return "pipe"; }
  int host_fd() const override { return fd; }

  int fd;
  bool inheritable;
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
