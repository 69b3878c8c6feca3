// The machine the administrative modes meet: drive C: with a user's profile folders and
// C:\ProgramData, the profile variables, and a PATH of C:\Tools and of the directory of a stand-in
// icacls that records its runs and succeeds. That directory admits every AppContainer already, as
// the system's own directories do, so the PATH scan leaves it alone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "flows/icacls_stand_in.h"
#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo::testing {

inline constexpr std::string_view kHome = "C:\\Users\\ann";
inline constexpr std::string_view kLocal = "C:\\Users\\ann\\AppData\\Local";
inline constexpr std::string_view kRoaming = "C:\\Users\\ann\\AppData\\Roaming";

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
  AdminMachine();
  ~AdminMachine() override;

  // A fresh machine in the middle of a test, with drive C: as the fixture makes it: everything
  // written there before is removed, since host files outlive fresh_machine().
  void start_over() const;

  // Makes the next use of the profile and network-isolation functions look them up again, so
  // that a registration makes the same calls whichever test ran first.
  static void forget_looked_up_functions();

  // The program as a user starts it, with these arguments after its name: its status and what
  // it wrote to standard output.
  struct Outcome {
    int status;
    std::string out;
  };
  Outcome run(std::vector<std::string> args) const;

  // The host path of a Windows path on drive C:.
  std::string host(std::string_view windows_path) const;
  // What the machine stores for the object (see winsim::stored_sddl).
  std::string stored(std::string_view windows_path) const;
  // The SID of the profile `name` in string form, "" when there is no such profile.
  static std::string profile_sid(std::string_view name);
  // The names in a directory on drive C:, sorted; empty when it does not exist.
  std::vector<std::string> names_in(std::string_view windows_dir) const;

  TempDir root;
  ScopedEnv drives{"WINSIM_ROOT", root.path()};
  ScopedEnv state{"WINSIM_STATE", std::nullopt};
  ScopedEnv admin{"WINSIM_ADMIN", std::nullopt};
  ScopedEnv system_drive{"SystemDrive", std::nullopt};
  ScopedEnv home{"USERPROFILE", std::string(kHome)};
  ScopedEnv local{"LOCALAPPDATA", std::string(kLocal)};
  ScopedEnv roaming{"APPDATA", std::string(kRoaming)};
  ScopedEnv program_data{"PROGRAMDATA", "C:\\ProgramData"};
  ScopedEnv path{"PATH", "C:\\Tools;" + (root / "bin")};
  IcaclsStandIn icacls;
};

// Positions (1-based) in the trace: the first call of `function` whose key contains `key_part`,
// and the last call of `function` whose key does not contain `except_key_part`; 0 when there is
// none.
std::size_t first_call_of(std::string_view function, std::string_view key_part = "");
std::size_t last_call_of(std::string_view function, std::string_view except_key_part = "");

}  // namespace tavo::testing
