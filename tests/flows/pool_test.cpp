// Registering a pool of sandbox profiles against winsim: the pool directory's files, the loopback
// list, which failures end the registration and what they leave behind.
#include "sandbox_profile/pool.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "flows/admin_machine.h"
#include "support/log_capture.h"
#include "win/error.h"
#include "win/wide.h"

namespace tavo {
namespace {

using Entries = std::vector<std::pair<std::string, DWORD>>;
using testing::first_call_of;
using testing::last_call_of;

constexpr std::string_view kPoolDir = "C:\\ProgramData\\Tavo\\pool";
const std::string kOtherSoftware = "S-1-15-2-9-8-7-6-5-4-3";

class Pool : public testing::AdminMachine {
 protected:
  Pool() { forget_looked_up_functions(); }

  // The pool directory's files and their contents.
  std::map<std::string, std::string> pool_files() const {
    std::map<std::string, std::string> files;
    for (const std::string& name : names_in(kPoolDir))
      files[name] = root.read("c/ProgramData/Tavo/pool/" + name);
    return files;
  }

  // The members' SIDs in member order.
  static std::vector<std::string> member_sids(int size) {
    std::vector<std::string> sids;
    for (int i = 0; i < size; ++i)
      sids.push_back(profile_sid("tavo-sandbox-pool-" + std::to_string(i)));
    return sids;
  }
  // The files of a complete registration with these SIDs, beside `others`.
  static std::map<std::string, std::string> complete_pool(
      const std::vector<std::string>& sids, std::map<std::string, std::string> others = {}) {
    others[".registration-version"] = "1\n";
    for (const std::string& sid : sids)
      others[sid + ".dat"] = sid + "\n";
    return others;
  }
};

TEST_F(Pool, APoolOfThreeIsExemptAfterOtherSoftwareAndMarkedLast) {
  winsim::set_loopback_list({{kOtherSoftware, 1}});
  testing::LogCapture log(Level::Info);
  const Outcome outcome =
      run({"--register-pool", "--pool-size", "3", "--pool-dir", std::string(kPoolDir)});
  ASSERT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "");
  const std::vector<std::string> sids = member_sids(3);
  EXPECT_EQ(winsim::profiles().size(), 3u);
  EXPECT_EQ(log.lines().back(),
            "[INFO  tavo_sandbox] registered 3 pool SIDs in 'C:\\ProgramData\\Tavo\\pool'\n");
  EXPECT_EQ(pool_files(), complete_pool(sids));
  EXPECT_EQ(winsim::loopback_entries(),
            (Entries{{kOtherSoftware, 1}, {sids[0], 0}, {sids[1], 0}, {sids[2], 0}}));
  // Each member's own package directory, for that member only.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(
        stored("C:\\Users\\ann\\AppData\\Local\\Packages\\tavo-sandbox-pool-" + std::to_string(i)),
        "D:(A;OICI;0x1301bf;;;" + sids[i] + ")");
  }
  // SID files only once every member is exempt; the marker after every other change.
  EXPECT_LT(last_call_of("NetworkIsolationSetAppContainerConfig"),
            first_call_of("CreateFileW", ".dat"));
  const std::size_t marker = first_call_of("CreateFileW", ".registration-version");
  ASSERT_NE(marker, 0u);
  for (const char* change :
       {"SetSecurityInfo", "SetKernelObjectSecurity", "CreateProcessW", "CreateDirectoryW"}) {
    EXPECT_LT(last_call_of(change, ".registration-version"), marker) << change;
  }
}

// The folders the registration made and every file in them are the administrators'.
TEST_F(Pool, WhatARegistrationMakesBelongsToTheAdministrators) {
  ASSERT_TRUE(register_pool(2, kPoolDir));
  for (std::string_view folder : {std::string_view("C:\\ProgramData\\Tavo"), kPoolDir}) {
    EXPECT_EQ(winsim::owner_sid(folder), testing::kAdministrators) << folder;
    EXPECT_EQ(stored(folder), testing::kAdminFolderSddl) << folder;
  }
  for (const auto& [name, content] : pool_files()) {
    const std::string file = std::string(kPoolDir) + "\\" + name;
    EXPECT_EQ(winsim::owner_sid(file), testing::kAdministrators) << name;
    EXPECT_EQ(stored(file), testing::kAdminFileSddl) << name;
  }
}

// Folders someone else owns or may change, or a link in the pool directory's place: the
// registration changes nothing and says which folder to remove.
TEST_F(Pool, AFolderOthersControlIsRefusedBeforeAnythingChanges) {
  const std::string pool = std::string(kPoolDir);
  const std::string user_pool = "C:\\ProgramData\\pool";
  const auto make_dir = [](std::string_view dir, const char* admin) {
    testing::ScopedEnv who("WINSIM_ADMIN", admin);
    ASSERT_TRUE(CreateDirectoryW(to_wide_nul(dir).c_str(), nullptr)) << dir;
  };
  struct Case {
    std::string pool_dir;
    std::function<void()> arrange;
    std::string refusal;
    std::vector<std::string> in_tavo;  // afterwards: the folder a refused registration left as is
  };
  const std::vector<Case> cases = {
      // Users may make folders in ProgramData, and own what they make.
      {user_pool,
       [&] { make_dir(user_pool, "0"); },
       "pool directory " + user_pool + " is not owned by Administrators (owner " +
           std::string(winsim::kUserSid) + ")",
       {}},
      // Made by an administrator, but with what ProgramData passes on, which lets Users add
      // files and folders: whoever does can swap the pool directory for their own.
      {pool,
       [&] { make_dir("C:\\ProgramData\\Tavo", "1"); },
       "folder C:\\ProgramData\\Tavo above the pool directory lets S-1-5-32-545 change it or "
       "its entries (rights 0x6)",
       {}},
      {pool,
       [&] {
         root.make_dir("c/ProgramData/Tavo");
         winsim::set_owner(host("C:\\ProgramData\\Tavo"), testing::kAdministrators);
         winsim::set_stored_sddl(host("C:\\ProgramData\\Tavo"), testing::kAdminFolderSddl);
         std::filesystem::create_directory_symlink(host("C:\\Windows"), host(pool));
       },
       "pool directory " + pool + " is a link",
       {"pool"}},
  };
  for (const Case& c : cases) {
    start_over();
    c.arrange();
    root.write("c/Windows/old.dat", "");
    testing::LogCapture log(Level::Error);
    const Outcome outcome = run({"--register-pool", "--pool-size", "2", "--pool-dir", c.pool_dir});
    EXPECT_EQ(outcome.status, 13) << c.refusal;
    EXPECT_EQ(log.text(), "[ERROR tavo_sandbox] register pool failed: " + c.refusal +
                              ": remove it and register again (0x00000000)\n");
    EXPECT_TRUE(winsim::profiles().empty());
    EXPECT_TRUE(winsim::loopback_list().empty());
    EXPECT_TRUE(root.exists("c/Windows/old.dat"));
    EXPECT_EQ(names_in("C:\\ProgramData\\Tavo"), c.in_tavo) << c.refusal;
  }
}

// A pool of one. Only the pool's own SID files go, each removed through a handle that does not
// follow a link; what is not a plain file is left and warned about.
TEST_F(Pool, APoolOfOneRemovesOldSidFilesAndKeepsEverythingElse) {
  ASSERT_TRUE(register_pool(1, kPoolDir));  // the folder is the administrators'
  const std::map<std::string, std::string> others = {
      {"notes.txt", "keep me\n"}, {"a.DAT", "not ours\n"}, {".dat", "no name\n"}};
  for (const auto& [name, content] : others)
    root.write("c/ProgramData/Tavo/pool/" + name, content);
  root.write("c/ProgramData/Tavo/pool/old.dat", "S-1-15-2-1-1-1-1-1-1-1\n");
  root.write("c/ProgramData/Tavo/pool/x.tar.dat", "");
  root.make_dir("c/ProgramData/Tavo/pool/cache.dat");
  root.write("c/Windows/system.dat", "the system's\n");
  std::filesystem::create_symlink(host("C:\\Windows\\system.dat"),
                                  host("C:\\ProgramData\\Tavo\\pool\\planted.dat"));
  testing::LogCapture log(Level::Warn);
  ASSERT_TRUE(register_pool(1, kPoolDir));
  EXPECT_EQ(log.text(),
            "[WARN  tavo_sandbox::pool_version] clear_pool_dats: failed to remove "
            "C:\\ProgramData\\Tavo\\pool\\cache.dat: a directory, left alone\n"
            "[WARN  tavo_sandbox::pool_version] clear_pool_dats: failed to remove "
            "C:\\ProgramData\\Tavo\\pool\\planted.dat: a link, left alone\n");
  EXPECT_EQ(root.read("c/Windows/system.dat"), "the system's\n");
  auto expected = complete_pool(member_sids(1), others);
  expected["cache.dat"] = "";
  expected["planted.dat"] = "the system's\n";
  EXPECT_EQ(pool_files(), expected);
  EXPECT_EQ(winsim::loopback_list(), member_sids(1));
}

// The drive root's traversal is critical, like the NUL device's grant (see the fault sweep):
// without it no member can run a command. Nothing after it is done.
TEST_F(Pool, TheDriveRootGrantIsCritical) {
  root.make_dir("d");
  testing::ScopedEnv drive("SystemDrive", "D:");
  winsim::fail_every_call("SetKernelObjectSecurity", "D:\\", ERROR_ACCESS_DENIED);
  testing::LogCapture log(Level::Error);
  EXPECT_EQ(
      run({"--register-pool", "--pool-size", "2", "--pool-dir", std::string(kPoolDir)}).status, 13);
  EXPECT_EQ(log.text(),
            "[ERROR tavo_sandbox] register pool failed: [1/2] drive root traversal "
            "grant failed (critical): grant drive root traversal on D:\\ failed: " +
                HresultError::from_win32(ERROR_ACCESS_DENIED).display() + " (0x00000000)\n");
  EXPECT_TRUE(icacls.runs().empty());
}

TEST_F(Pool, WithoutLocalAppDataThePackageStepsAreSkippedSilently) {
  testing::ScopedEnv no_local("LOCALAPPDATA", std::nullopt);
  testing::LogCapture log(Level::Warn);
  ASSERT_TRUE(register_pool(2, kPoolDir));
  EXPECT_EQ(log.text(), "");
  EXPECT_TRUE(names_in("C:\\Users\\ann\\AppData\\Local\\Packages").empty());
  EXPECT_EQ(pool_files(), complete_pool(member_sids(2)));
}

TEST_F(Pool, ARepeatedRegistrationRewritesTheSameFiles) {
  winsim::set_loopback_list({{kOtherSoftware, 1}});
  ASSERT_TRUE(register_pool(3, kPoolDir));
  const auto first = pool_files();
  const Entries loopback = winsim::loopback_entries();
  root.write("c/ProgramData/Tavo/pool/" + member_sids(3)[1] + ".dat", "tampered\n");
  // A marker an earlier registration left with a DACL of its own gets the administrators' one.
  const std::string marker = std::string(kPoolDir) + "\\.registration-version";
  winsim::set_stored_sddl(host(marker), "D:P(A;;0x1f01ff;;;S-1-5-32-545)");
  ASSERT_TRUE(register_pool(3, kPoolDir));
  EXPECT_EQ(pool_files(), first);
  EXPECT_EQ(stored(marker), testing::kAdminFileSddl);
  EXPECT_EQ(winsim::loopback_entries(), loopback);
  EXPECT_EQ(winsim::profiles().size(), 3u);
}

TEST_F(Pool, TheSizeIsCheckedBeforeAnythingIsCreated) {
  for (std::uint32_t size : {0u, 11u}) {
    EXPECT_EQ(register_pool(size, kPoolDir).error(),
              HresultError(0, "pool_size must be 1..=10, got " + std::to_string(size)));
  }
  EXPECT_FALSE(root.exists("c/ProgramData/Tavo"));
  EXPECT_TRUE(winsim::profiles().empty());
  EXPECT_EQ(winsim::faultable_calls(), 0u);
}

}  // namespace
}  // namespace tavo
