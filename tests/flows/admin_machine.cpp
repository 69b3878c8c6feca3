#include "flows/admin_machine.h"

#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <algorithm>
#include <filesystem>

#include "entry.h"
#include "flows/host_processes.h"
#include "sandbox_profile/exempt_list.h"
#include "sandbox_profile/profiles.h"

namespace tavo::testing {
AdminMachine::AdminMachine() {
  icacls.install(root / "bin");
  start_over();
}

AdminMachine::~AdminMachine() {
  winsim::end_processes();
}

void AdminMachine::start_over() const {
  fresh_machine();
  // ALL APPLICATION PACKAGES may read and execute there.
  winsim::set_stored_sddl(root / "bin", "D:(A;OICI;0x1200a9;;;S-1-15-2-1)");
  std::filesystem::remove_all(root / "c");
  icacls.forget_runs();
  for (const char* dir : {"c/Windows", "c/Tools", "c/ProgramData",
                          "c/Users/ann/AppData/Local/Packages", "c/Users/ann/AppData/Roaming"}) {
    root.make_dir(dir);
  }
}

void AdminMachine::forget_looked_up_functions() {
  forget_profile_functions();
  forget_network_isolation_functions();
}

AdminMachine::Outcome AdminMachine::run(std::vector<std::string> args) const {
  args.insert(args.begin(), "tavo-sandbox");
  int status;
  {
    RedirectedDescriptor out(1, root / "stdout", O_WRONLY | O_CREAT | O_TRUNC);
    status = run_program(args);
  }
  return {status, root.read("stdout")};
}

std::string AdminMachine::host(std::string_view windows_path) const {
  std::string relative = "c";
  for (char c : windows_path.substr(2))  // after "C:"
    relative.push_back(c == '\\' ? '/' : c);
  return root / relative;
}

std::string AdminMachine::stored(std::string_view windows_path) const {
  return winsim::stored_sddl(host(windows_path));
}

std::string AdminMachine::profile_sid(std::string_view name) {
  const std::string prefix = std::string(name) + "=";
  for (const std::string& line : winsim::profiles()) {
    if (line.starts_with(prefix)) return line.substr(prefix.size());
  }
  return "";
}

std::vector<std::string> AdminMachine::names_in(std::string_view windows_dir) const {
  std::vector<std::string> names;
  std::error_code missing;
  for (const auto& entry : std::filesystem::directory_iterator(host(windows_dir), missing))
    names.push_back(utf8(entry.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

std::size_t first_call_of(std::string_view function, std::string_view key_part) {
  const auto& calls = winsim::trace();
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].function == function && calls[i].key.find(key_part) != std::string::npos)
      return i + 1;
  }
  return 0;
}

std::size_t last_call_of(std::string_view function, std::string_view except_key_part) {
  const auto& calls = winsim::trace();
  for (std::size_t i = calls.size(); i-- > 0;) {
    if (calls[i].function != function) continue;
    if (!except_key_part.empty() && calls[i].key.find(except_key_part) != std::string::npos)
      continue;
    return i + 1;
  }
  return 0;
}

}  // namespace tavo::testing
