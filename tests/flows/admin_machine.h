// The machine of the administrative modes (the registrations of a profile and of a pool, the
// loopback exemption, the probe, cleanup) against winsim, shared by their flow tests.
//
// The machine: drive C: with a user's profile folders and C:\ProgramData, the profile variables,
// a stand-in icacls in C:\Windows\System32 that records its runs and succeeds, and a PATH of
// C:\Tools and of a host directory that admits every AppContainer already, as the system's own
// directories do, so the PATH scan leaves it alone.
#pragma once

#include <gtest/gtest.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "acl/acl.h"
#include "flows/drives.h"
#include "flows/icacls_stand_in.h"
#include "flows/program.h"
#include "sandbox_profile/profiles.h"
#include "support/env.h"
#include "support/faults.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo {

inline constexpr std::string_view kAdministrators = "S-1-5-32-544";
// What the registrations' own folders and files store: SYSTEM and Administrators full control,
// Users read (and execute, for folders), nothing inherited.
inline constexpr std::string_view kAdminFolderSddl =
    "D:P(A;OICI;0x1f01ff;;;S-1-5-18)(A;OICI;0x1f01ff;;;S-1-5-32-544)(A;OICI;0x1200a9;;;S-1-5-32-"
    "545)";
inline constexpr std::string_view kAdminFileSddl =
    "D:P(A;;0x1f01ff;;;S-1-5-18)(A;;0x1f01ff;;;S-1-5-32-544)(A;;0x120089;;;S-1-5-32-545)";
inline constexpr std::string_view kSidFile = "C:\\ProgramData\\Tavo\\shared.sid";
inline const std::string kPoolDir = "C:\\ProgramData\\Tavo\\pool";
inline const std::string kOtherSoftware = "S-1-15-2-9-8-7-6-5-4-3";
inline const std::vector<std::string> kRevoked = {"C:\\work\\a", "C:\\work\\b",
                                                  "C:\\work\\long name"};

class AdminMachine : public testing::MachineTest {
 protected:
  AdminMachine() {
    root.make_dir("bin");
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
    icacls.install(host("C:\\Windows\\System32"));
  }

  using Outcome = testing::ProgramOutcome;
  Outcome run(std::vector<std::string> args) const {
    return testing::run_program_in(root, std::move(args));
  }

  // The host path of a Windows path on drive C:, and what the machine stores for it.
  std::string host(std::string_view windows_path) const {
    return testing::host_path(root, windows_path);
  }
  std::string stored(std::string_view windows_path) const {
    return winsim::stored_sddl(host(windows_path));
  }
  static std::string profile_sid(std::string_view name) { return testing::profile_sid(name); }
  // The names in a directory on drive C:, sorted; empty when it does not exist.
  std::vector<std::string> names_in(std::string_view windows_dir) const {
    std::vector<std::string> names;
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator(host(windows_dir), missing))
      names.push_back(testing::utf8(entry.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
  }
  // The changes made after the first call of `function` on an object whose name holds `key`, to
  // other objects ("function key" each): none when that call made the last change.
  static std::vector<std::string> changes_after(std::string_view function, std::string_view key) {
    const auto& calls = winsim::trace();
    auto call = std::find_if(calls.begin(), calls.end(), [&](const winsim::Call& c) {
      return c.function == function && c.key.find(key) != std::string::npos;
    });
    EXPECT_NE(call, calls.end()) << function << " " << key;
    std::vector<std::string> changes;
    for (; call != calls.end(); ++call) {
      for (std::string_view change :
           {"NetworkIsolationSetAppContainerConfig", "SetSecurityInfo", "SetKernelObjectSecurity",
            "CreateProcessW", "CreateDirectoryW"}) {
        if (call->function == change && call->key.find(key) == std::string::npos)
          changes.push_back(call->function + " " + call->key);
      }
    }
    return changes;
  }

  // The profile build-1 with read-write grants on kRevoked, its SID in C:\ProgramData\shared.sid.
  std::string arrange_cleanup() const {
    auto made = ensure_profile("build-1");
    EXPECT_TRUE(made);
    for (const std::string& path : kRevoked) {
      root.make_dir("c/work/" + path.substr(8));
      EXPECT_TRUE(grant_access(made->get(), path, AccessLevel::ReadWrite, DaclEditLock().hold()));
    }
    root.write("c/ProgramData/shared.sid", profile_sid("build-1") + "\n");
    return profile_sid("build-1");
  }

  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
  testing::ScopedEnv state{"WINSIM_STATE", std::nullopt};
  testing::ScopedEnv admin_variable{"WINSIM_ADMIN", std::nullopt};
  testing::ScopedEnv system_drive{"SystemDrive", std::nullopt};
  testing::ScopedEnv home{"USERPROFILE", "C:\\Users\\ann"};
  testing::ScopedEnv local{"LOCALAPPDATA", "C:\\Users\\ann\\AppData\\Local"};
  testing::ScopedEnv roaming{"APPDATA", "C:\\Users\\ann\\AppData\\Roaming"};
  testing::ScopedEnv program_data{"PROGRAMDATA", "C:\\ProgramData"};
  testing::ScopedEnv path_variable{"PATH", "C:\\Tools;" + (root / "bin")};
  testing::IcaclsStandIn icacls;
};

}  // namespace tavo
