// The machine the administrative modes meet: drive C: with a user's profile folders and
// C:\ProgramData, the profile variables, and a PATH of C:\Tools and of the directory of a stand-in
// icacls that records its runs and succeeds. That directory admits every AppContainer already, as
// the system's own directories do, so the PATH scan leaves it alone.
#pragma once

#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "entry.h"
#include "flows/host_processes.h"
#include "flows/icacls_stand_in.h"
#include "sandbox_profile/exempt_list.h"
#include "sandbox_profile/profiles.h"
#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo::testing {

inline constexpr std::string_view kAdministrators = "S-1-5-32-544";
// What the registrations' own folders and files store: SYSTEM and Administrators full control,
// Users read (and execute, for folders), nothing inherited.
inline constexpr std::string_view kAdminFolderSddl =
    "D:P(A;OICI;0x1f01ff;;;S-1-5-18)(A;OICI;0x1f01ff;;;S-1-5-32-544)(A;OICI;0x1200a9;;;S-1-5-32-"
    "545)";
inline constexpr std::string_view kAdminFileSddl =
    "D:P(A;;0x1f01ff;;;S-1-5-18)(A;;0x1f01ff;;;S-1-5-32-544)(A;;0x120089;;;S-1-5-32-545)";

class AdminMachine : public MachineTest {
 protected:
  AdminMachine() {
    icacls.install(root / "bin");
    start_over();
  }
  ~AdminMachine() override { winsim::end_processes(); }

  // A fresh machine in the middle of a test, with drive C: as the fixture makes it (host files
  // outlive fresh_machine()).
  void start_over() const {
    fresh_machine();
    winsim::set_stored_sddl(root / "bin", "D:(A;OICI;0x1200a9;;;S-1-15-2-1)");
    std::filesystem::remove_all(root / "c");
    icacls.forget_runs();
    for (const char* dir : {"c/Windows", "c/Tools", "c/ProgramData",
                            "c/Users/ann/AppData/Local/Packages", "c/Users/ann/AppData/Roaming"})
      root.make_dir(dir);
  }

  // Makes the next use of the profile and network-isolation functions look them up again, so
  // that a registration makes the same calls whichever test ran first.
  static void forget_looked_up_functions() {
    forget_profile_functions();
    forget_network_isolation_functions();
  }

  // The program as a user starts it: its status and what it wrote to standard output.
  struct Outcome {
    int status;
    std::string out;
  };
  Outcome run(std::vector<std::string> args) const {
    args.insert(args.begin(), "tavo-sandbox");
    int status;
    {
      RedirectedDescriptor out(1, root / "stdout", O_WRONLY | O_CREAT | O_TRUNC);
      status = run_program(args);
    }
    return {status, root.read("stdout")};
  }

  // The host path of a Windows path on drive C:, and what the machine stores for it.
  std::string host(std::string_view windows_path) const {
    std::string relative = "c";
    for (char c : windows_path.substr(2))  // after "C:"
      relative.push_back(c == '\\' ? '/' : c);
    return root / relative;
  }
  std::string stored(std::string_view windows_path) const {
    return winsim::stored_sddl(host(windows_path));
  }
  // The SID of the profile `name` in string form, "" when there is no such profile.
  static std::string profile_sid(std::string_view name) {
    const std::string prefix = std::string(name) + "=";
    for (const std::string& line : winsim::profiles()) {
      if (line.starts_with(prefix)) return line.substr(prefix.size());
    }
    return "";
  }
  // The names in a directory on drive C:, sorted; empty when it does not exist.
  std::vector<std::string> names_in(std::string_view windows_dir) const {
    std::vector<std::string> names;
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator(host(windows_dir), missing))
      names.push_back(utf8(entry.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
  }
  // Positions (1-based) in the trace, 0 for none: the first call of `function` whose key holds
  // `key_part`, and the last whose key does not hold `except_key_part`.
  static std::size_t first_call_of(std::string_view function, std::string_view key_part) {
    const auto& calls = winsim::trace();
    for (std::size_t i = 0; i < calls.size(); ++i) {
      if (calls[i].function == function && calls[i].key.find(key_part) != std::string::npos)
        return i + 1;
    }
    return 0;
  }
  static std::size_t last_call_of(std::string_view function, std::string_view except_key_part) {
    const auto& calls = winsim::trace();
    for (std::size_t i = calls.size(); i-- > 0;) {
      if (calls[i].function == function &&
          (except_key_part.empty() || calls[i].key.find(except_key_part) == std::string::npos))
        return i + 1;
    }
    return 0;
  }

  TempDir root;
  ScopedEnv drives{"WINSIM_ROOT", root.path()};
  ScopedEnv state{"WINSIM_STATE", std::nullopt};
  ScopedEnv admin{"WINSIM_ADMIN", std::nullopt};
  ScopedEnv system_drive{"SystemDrive", std::nullopt};
  ScopedEnv home{"USERPROFILE", "C:\\Users\\ann"};
  ScopedEnv local{"LOCALAPPDATA", "C:\\Users\\ann\\AppData\\Local"};
  ScopedEnv roaming{"APPDATA", "C:\\Users\\ann\\AppData\\Roaming"};
  ScopedEnv program_data{"PROGRAMDATA", "C:\\ProgramData"};
  ScopedEnv path{"PATH", "C:\\Tools;" + (root / "bin")};
  IcaclsStandIn icacls;
};

}  // namespace tavo::testing
