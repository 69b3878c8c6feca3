// What tests can see of the processes and jobs winsim runs, beyond the call trace.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/types.h"

namespace winsim {

// One process that CreateProcessW started, with what the call passed.
struct ProcessStart {
  std::string command_line;
  std::string program;  // the host file that runs
  bool inherit_handles = false;
  DWORD creation_flags = 0;
  DWORD startup_size = 0;                        // the start-up information's cb
  DWORD startup_flags = 0;                       // its dwFlags
  std::optional<std::string> current_directory;  // as passed
  std::size_t attribute_count = 0;               // attributes set in the list
  std::optional<std::string> appcontainer_sid;
  DWORD capability_count = 0;
  std::size_t handle_list_size = 0;  // handles in the handle list
  DWORD process_id = 0;
};

// The processes started since the last reset, in order.
const std::vector<ProcessStart>& process_starts();

// One SetInformationJobObject call that succeeded.
struct JobLimitSetting {
  DWORD info_class = 0;
  DWORD length = 0;
  DWORD limit_flags = 0;
};
const std::vector<JobLimitSetting>& job_limit_settings();

// Processes started since the last reset that have not ended.
std::size_t running_processes();

// Kills whatever the processes started since the last reset left running, their jobs' process
// groups included. reset() does the same.
void end_processes();

// The words a started process finds in its command line, split by the C runtime's rules as
// winsim applies them (the first word: quotes only group).
std::vector<std::u16string> command_line_words(std::u16string_view line);

}  // namespace winsim
