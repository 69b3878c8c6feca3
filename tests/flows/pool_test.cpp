// The registration of a pool against winsim: the members it makes exempt and the files it leaves,
// the folders it refuses, what registering again clears, and which failures end it.
#include <functional>
#include <map>

#include "flows/admin_machine.h"
#include "sandbox_profile/pool.h"
#include "win/error.h"
#include "win/wide.h"

namespace tavo {
namespace {

class Pool : public AdminMachine {
 protected:
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
TEST_F(Pool, APoolIsMarkedOnlyOnceEveryMemberIsComplete) {
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
  for (const std::string& change : changes_after("CreateFileW", ".dat"))
    EXPECT_FALSE(change.starts_with("NetworkIsolation")) << change;
  EXPECT_EQ(changes_after("CreateFileW", ".registration-version"), std::vector<std::string>{});
  for (const std::string& folder : {std::string("C:\\ProgramData\\Tavo"), kPoolDir}) {
    EXPECT_EQ(winsim::owner_sid(folder), kAdministrators) << folder;
    EXPECT_EQ(stored(folder), kAdminFolderSddl) << folder;
  }
  for (const auto& [name, content] : pool_files()) {
    EXPECT_EQ(winsim::owner_sid(kPoolDir + "\\" + name), kAdministrators) << name;
    EXPECT_EQ(stored(kPoolDir + "\\" + name), kAdminFileSddl) << name;
  }
}

// Folders someone else owns or may change, a link in the pool directory's place, or a file
// there: the registration changes nothing and says which folder to remove. The folders are found
// on what the pool directory resolves to, however it is spelt.
TEST_F(Pool, AFolderOthersControlIsRefusedBeforeAnythingChanges) {
  const std::string user_pool = "C:\\ProgramData\\pool";
  const std::string remove = ": remove it and register again";
  const auto make_dir = [](const std::string& dir, const char* admin) {
    testing::ScopedEnv who("WINSIM_ADMIN", admin);
    ASSERT_TRUE(CreateDirectoryW(to_wide_nul(dir).c_str(), nullptr)) << dir;
  };
  const auto admin_tavo = [&] {
    root.make_dir("c/ProgramData/Tavo");
    winsim::set_owner(host("C:\\ProgramData\\Tavo"), kAdministrators);
    winsim::set_stored_sddl(host("C:\\ProgramData\\Tavo"), kAdminFolderSddl);
  };
  const std::string users_tavo =
      "folder C:\\ProgramData\\Tavo above the pool directory is not owned by "
      "Administrators (owner " +
      std::string(winsim::kUserSid) + ")" + remove;
  struct Case {
    std::string pool_dir;
    std::function<void()> arrange;
    std::string refusal;
  };
  const Case cases[] = {
      // Users may make folders in ProgramData, and own what they make.
      {user_pool, [&] { make_dir(user_pool, "0"); },
       "pool directory " + user_pool + " is not owned by Administrators (owner " +
           std::string(winsim::kUserSid) + ")" + remove},
      // Made by an administrator, but with what ProgramData passes on, which lets Users add
      // files and folders: whoever does can swap the pool directory for their own.
      {kPoolDir, [&] { make_dir("C:\\ProgramData\\Tavo", "1"); },
       "folder C:\\ProgramData\\Tavo above the pool directory lets S-1-5-32-545 change it or "
       "its entries (rights 0x6)" +
           remove},
      {kPoolDir,
       [&] {
         admin_tavo();
         std::filesystem::create_directory_symlink(host("C:\\Windows"), host(kPoolDir));
       },
       "pool directory " + kPoolDir + " is a link" + remove},
      {kPoolDir,
       [&] {
         admin_tavo();
         root.write("c/ProgramData/Tavo/pool", "");
       },
       "pool directory " + kPoolDir + " is not a directory"},
      {"\\\\?\\" + kPoolDir, [&] { make_dir("C:\\ProgramData\\Tavo", "0"); }, users_tavo},
      {"\\\\.\\" + kPoolDir, [&] { make_dir("C:\\ProgramData\\Tavo", "0"); }, users_tavo},
      {"//?/C:/ProgramData/Tavo/pool", [&] { make_dir("C:\\ProgramData\\Tavo", "0"); }, users_tavo},
      // A link on the way into the system: nothing is made there.
      {"C:\\Users\\ann\\link\\Tavo\\pool",
       [&] {
         root.make_dir("c/Users/ann");
         std::filesystem::create_directory_symlink(host("C:\\Windows"),
                                                   host("C:\\Users\\ann\\link"));
       },
       "create_dir_all(C:\\Users\\ann\\link\\Tavo\\pool): folder \\\\?\\C:\\Windows leads to "
       "\\\\?\\C:\\Windows"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pool_dir + ": " + c.refusal);
    start_over();
    c.arrange();
    root.write("c/Windows/old.dat", "");
    testing::LogCapture log(Level::Error);
    EXPECT_EQ(run({"--register-pool", "--pool-size", "2", "--pool-dir", c.pool_dir}).status, 13);
    EXPECT_EQ(log.text(),
              "[ERROR tavo_sandbox] register pool failed: " + c.refusal + " (0x00000000)\n");
    EXPECT_TRUE(winsim::profiles().empty() && winsim::loopback_list().empty());
    EXPECT_EQ(winsim::count_calls("SetSecurityInfo") + winsim::count_calls("CreateFileW", ".dat"),
              0u);
    EXPECT_TRUE(root.exists("c/Windows/old.dat"));
  }
}

// Registering again, here as a pool of one: only the pool's own SID files go, each removed through
// a handle that does not follow a link; what is not a plain file (a link, also one that leads
// nowhere) is left and warned about.
TEST_F(Pool, RegisteringAgainRemovesOnlyThePoolsOwnSidFiles) {
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
  std::filesystem::create_symlink(host("C:\\Windows\\gone.dat"), host(kPoolDir + "\\dangling.dat"));
  root.write("c/ProgramData/Tavo/pool/locked.dat", "S-1-15-2-1-1-1-1-1-1-2\n");
  winsim::fail_next_call("CreateFileW", "locked.dat", ERROR_SHARING_VIOLATION);
  testing::LogCapture log(Level::Warn);
  ASSERT_TRUE(register_pool(1, kPoolDir));
  const std::string failed =
      "[WARN  tavo_sandbox::pool_version] clear_pool_dats: failed to remove ";
  EXPECT_EQ(log.text(),
            failed + kPoolDir + "\\cache.dat: a directory, left alone\n" + failed + kPoolDir +
                "\\dangling.dat: a link, left alone\n" + failed + kPoolDir +
                "\\locked.dat: " + IoError::from_win32(ERROR_SHARING_VIOLATION).display() + "\n" +
                failed + kPoolDir + "\\planted.dat: a link, left alone\n");
  auto expected = complete_pool(1, others);
  expected["locked.dat"] = "S-1-15-2-1-1-1-1-1-1-2\n";
  expected["cache.dat"] = "";
  expected["planted.dat"] = "the system's\n";
  expected["dangling.dat"] = "";
  EXPECT_EQ(pool_files(), expected);
  EXPECT_EQ(winsim::loopback_list(), std::vector{profile_sid("tavo-sandbox-pool-0")});
}

// The pool checks the size it is given itself, before any call: the parser's check of
// --pool-size guards only the command line, and the members' names and loops rest on this one.
TEST_F(Pool, TheSizeIsCheckedBeforeAnythingIsCreated) {
  for (std::uint32_t size : {0u, 11u}) {
    const auto refused = register_pool(size, kPoolDir);
    ASSERT_FALSE(refused) << size;
    EXPECT_EQ(refused.error(),
              HresultError(0, "pool_size must be 1..=10, got " + std::to_string(size)));
  }
  EXPECT_EQ(winsim::faultable_calls(), 0u);
}

// A pool only notes the refused store, at its first member, and ends at that member's NUL
// device, before its SID file.
TEST_F(Pool, TheNulDeviceEndsThePoolWhereARefusedStoreIsOnlyNoted) {
  root.make_dir("c/Users/ann/.ssh");
  winsim::fail_every_call("SetSecurityInfo", ".ssh", ERROR_ACCESS_DENIED);
  winsim::fail_every_call("SetSecurityInfo", "NUL", ERROR_ACCESS_DENIED);
  testing::LogCapture log(Level::Info);
  const auto registered = register_pool(2, kPoolDir);
  ASSERT_FALSE(registered);
  EXPECT_TRUE(
      registered.error().display().starts_with("[1/2] NUL device grant failed (critical): "))
      << registered.error().display();
  EXPECT_EQ(log.count("[INFO  tavo_sandbox::sandbox_profile] [1/2] DENY on "
                      "C:\\Users\\ann\\.ssh failed: "),
            1u)
      << log.text();
  EXPECT_EQ(log.count("[WARN "), 0u) << log.text();
  EXPECT_EQ(pool_files(), (std::map<std::string, std::string>{}));
}

}  // namespace
}  // namespace tavo
