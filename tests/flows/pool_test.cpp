// Registering a pool of sandbox profiles against winsim: the pool directory's files, the loopback
// list, which failures end the registration and what they leave behind.
#include "sandbox_profile/pool.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <filesystem>
#include <functional>
#include <map>

#include "flows/admin_machine.h"
#include "support/log_capture.h"
#include "win/error.h"
#include "win/wide.h"

namespace tavo {
namespace {

const std::string kPoolDir = "C:\\ProgramData\\Tavo\\pool";
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
  // The files of a complete registration of `size` members, beside `others`.
  static std::map<std::string, std::string> complete_pool(
      int size, std::map<std::string, std::string> others = {}) {
    others[".registration-version"] = "1\n";
    for (int i = 0; i < size; ++i) {
      const std::string sid = profile_sid("tavo-sandbox-pool-" + std::to_string(i));
      others[sid + ".dat"] = sid + "\n";
    }
    return others;
  }
};

// Every member exempt after other software, each with its own package directory; the SID files
// once every member is exempt, the marker after every other change; everything made the
// administrators'.
TEST_F(Pool, APoolOfThreeIsExemptOwnedByTheAdministratorsAndMarkedLast) {
  winsim::set_loopback_list({{kOtherSoftware, 1}});
  testing::LogCapture log(Level::Info);
  const Outcome outcome = run({"--register-pool", "--pool-size", "3", "--pool-dir", kPoolDir});
  ASSERT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(log.lines().back(),
            "[INFO  tavo_sandbox] registered 3 pool SIDs in '" + kPoolDir + "'\n");
  EXPECT_EQ(pool_files(), complete_pool(3));
  std::vector<std::string> exempt = {kOtherSoftware};
  for (int i = 0; i < 3; ++i) {
    const std::string member = "tavo-sandbox-pool-" + std::to_string(i);
    exempt.push_back(profile_sid(member));
    EXPECT_EQ(stored("C:\\Users\\ann\\AppData\\Local\\Packages\\" + member),
              "D:(A;OICI;0x1301bf;;;" + exempt.back() + ")");
  }
  EXPECT_EQ(winsim::loopback_list(), exempt);
  EXPECT_LT(last_call_of("NetworkIsolationSetAppContainerConfig", ""),
            first_call_of("CreateFileW", ".dat"));
  const std::size_t marker = first_call_of("CreateFileW", ".registration-version");
  ASSERT_NE(marker, 0u);
  for (const char* change :
       {"SetSecurityInfo", "SetKernelObjectSecurity", "CreateProcessW", "CreateDirectoryW"}) {
    EXPECT_LT(last_call_of(change, ".registration-version"), marker) << change;
  }
  for (const std::string& folder : {std::string("C:\\ProgramData\\Tavo"), kPoolDir}) {
    EXPECT_EQ(winsim::owner_sid(folder), testing::kAdministrators) << folder;
    EXPECT_EQ(stored(folder), testing::kAdminFolderSddl) << folder;
  }
  for (const auto& [name, content] : pool_files()) {
    EXPECT_EQ(winsim::owner_sid(kPoolDir + "\\" + name), testing::kAdministrators) << name;
    EXPECT_EQ(stored(kPoolDir + "\\" + name), testing::kAdminFileSddl) << name;
  }
}

// Folders someone else owns or may change, or a link in the pool directory's place: the
// registration changes nothing and says which folder to remove.
TEST_F(Pool, AFolderOthersControlIsRefusedBeforeAnythingChanges) {
  const std::string user_pool = "C:\\ProgramData\\pool";
  const auto make_dir = [](const std::string& dir, const char* admin) {
    testing::ScopedEnv who("WINSIM_ADMIN", admin);
    ASSERT_TRUE(CreateDirectoryW(to_wide_nul(dir).c_str(), nullptr)) << dir;
  };
  struct Case {
    std::string pool_dir;
    std::function<void()> arrange;
    std::string refusal;
    std::vector<std::string> in_tavo;  // afterwards: the folder a refused registration left as is
  };
  const Case cases[] = {
      // Users may make folders in ProgramData, and own what they make.
      {user_pool,
       [&] { make_dir(user_pool, "0"); },
       "pool directory " + user_pool + " is not owned by Administrators (owner " +
           std::string(winsim::kUserSid) + ")",
       {}},
      // Made by an administrator, but with what ProgramData passes on, which lets Users add
      // files and folders: whoever does can swap the pool directory for their own.
      {kPoolDir,
       [&] { make_dir("C:\\ProgramData\\Tavo", "1"); },
       "folder C:\\ProgramData\\Tavo above the pool directory lets S-1-5-32-545 change it or "
       "its entries (rights 0x6)",
       {}},
      {kPoolDir,
       [&] {
         root.make_dir("c/ProgramData/Tavo");
         winsim::set_owner(host("C:\\ProgramData\\Tavo"), testing::kAdministrators);
         winsim::set_stored_sddl(host("C:\\ProgramData\\Tavo"), testing::kAdminFolderSddl);
         std::filesystem::create_directory_symlink(host("C:\\Windows"), host(kPoolDir));
       },
       "pool directory " + kPoolDir + " is a link",
       {"pool"}},
  };
  for (const Case& c : cases) {
    start_over();
    c.arrange();
    root.write("c/Windows/old.dat", "");
    testing::LogCapture log(Level::Error);
    EXPECT_EQ(run({"--register-pool", "--pool-size", "2", "--pool-dir", c.pool_dir}).status, 13);
    EXPECT_EQ(log.text(), "[ERROR tavo_sandbox] register pool failed: " + c.refusal +
                              ": remove it and register again (0x00000000)\n");
    EXPECT_TRUE(winsim::profiles().empty() && winsim::loopback_list().empty());
    EXPECT_TRUE(root.exists("c/Windows/old.dat"));
    EXPECT_EQ(names_in("C:\\ProgramData\\Tavo"), c.in_tavo) << c.refusal;
  }
}

// Registering again, here as a pool of one: only the pool's own SID files go, each removed through
// a handle that does not follow a link; what is not a plain file is left and warned about.
TEST_F(Pool, RegisteringAgainRemovesOldSidFilesAndKeepsEverythingElse) {
  ASSERT_TRUE(register_pool(1, kPoolDir));
  const std::map<std::string, std::string> others = {
      {"notes.txt", "keep me\n"}, {"a.DAT", "not ours\n"}, {".dat", "no name\n"}};
  for (const auto& [name, content] : others)
    root.write("c/ProgramData/Tavo/pool/" + name, content);
  root.write("c/ProgramData/Tavo/pool/old.dat", "S-1-15-2-1-1-1-1-1-1-1\n");
  root.write("c/ProgramData/Tavo/pool/x.tar.dat", "");
  root.make_dir("c/ProgramData/Tavo/pool/cache.dat");
  root.write("c/Windows/system.dat", "the system's\n");
  std::filesystem::create_symlink(host("C:\\Windows\\system.dat"),
                                  host(kPoolDir + "\\planted.dat"));
  testing::LogCapture log(Level::Warn);
  ASSERT_TRUE(register_pool(1, kPoolDir));
  const std::string failed =
      "[WARN  tavo_sandbox::pool_version] clear_pool_dats: failed to remove ";
  EXPECT_EQ(log.text(), failed + kPoolDir + "\\cache.dat: a directory, left alone\n" + failed +
                            kPoolDir + "\\planted.dat: a link, left alone\n");
  auto expected = complete_pool(1, others);
  expected["cache.dat"] = "";
  expected["planted.dat"] = "the system's\n";
  EXPECT_EQ(pool_files(), expected);
}

// The drive root's traversal is critical, like the NUL device's grant (see the fault sweep):
// without it no member can run a command. Nothing after it is done.
TEST_F(Pool, TheDriveRootGrantIsCritical) {
  winsim::fail_every_call("SetKernelObjectSecurity", "C:\\", ERROR_ACCESS_DENIED);
  testing::LogCapture log(Level::Error);
  EXPECT_EQ(run({"--register-pool", "--pool-size", "2", "--pool-dir", kPoolDir}).status, 13);
  EXPECT_TRUE(log.contains("[1/2] drive root traversal grant failed (critical)")) << log.text();
  EXPECT_TRUE(icacls.runs().empty());
}

TEST_F(Pool, TheSizeIsCheckedBeforeAnythingIsCreated) {
  for (std::uint32_t size : {0u, 11u}) {
    EXPECT_EQ(register_pool(size, kPoolDir).error(),
              HresultError(0, "pool_size must be 1..=10, got " + std::to_string(size)));
  }
  EXPECT_EQ(winsim::faultable_calls(), 0u);
}

}  // namespace
}  // namespace tavo
