// The built program on a real Windows machine, as administrator: what no simulation can show.
// Skipped under Wine, which has no AppContainers.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "acl/dacl.h"
#include "acl/dacl_object.h"
#include "sandbox_profile/exempt_list.h"
#include "sid/sid_text.h"
#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/api.h"
#include "win/env.h"
#include "win/security_descriptor.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

struct ChildOutcome {
  std::uint32_t exit_code = 0;
  std::string out;  // standard output and standard error, on one pipe
};

// Runs `command_line` with standard input from NUL (or none) and waits for it.
ChildOutcome run_child(const std::string& command_line, bool with_input) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  unique_handle nul(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr));
  unique_handle read_end, write_end;  // the write end is inheritable: the child's
  EXPECT_TRUE(CreatePipe(read_end.put(), write_end.put(), &inherit, 0)) << GetLastError();
  SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = with_input ? nul.get() : nullptr;
  startup.hStdOutput = startup.hStdError = write_end.get();
  WideString line = to_wide_nul(command_line);
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &started)) {
    ADD_FAILURE() << "CreateProcessW(" << command_line << "): " << GetLastError();
    return {};
  }
  unique_handle process(started.hProcess), thread(started.hThread);
  write_end.reset();  // the child holds its own copy; ours would keep the pipe open for ever
  ChildOutcome outcome;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    outcome.out.append(buffer, got);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  outcome.exit_code = code;
  return outcome;
}

bool is_elevated() {
  unique_handle token;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
         GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
         elevation.TokenIsElevated != 0;
}

std::string in_quotes(const std::string& word) {
  return "\"" + word + "\"";
}

// Turns on a privilege the process's token holds (an elevated administrator's are off).
bool enable_privilege(const wchar_t* name) {
  unique_handle token;
  TOKEN_PRIVILEGES wanted{};
  wanted.PrivilegeCount = 1;
  wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  return OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.put()) &&
         LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid) &&
         AdjustTokenPrivileges(token.get(), FALSE, &wanted, 0, nullptr, nullptr) &&
         GetLastError() == ERROR_SUCCESS;
}

// Gives the existing folder `path` the owner and DACL of `sddl`, whatever its DACL says: with
// the restore privilege on, a handle opened for backup gets WRITE_DAC and WRITE_OWNER.
void impose(const std::string& path, std::string_view sddl) {
  ASSERT_TRUE(enable_privilege(SE_RESTORE_NAME) && enable_privilege(SE_TAKE_OWNERSHIP_NAME))
      << GetLastError();
  unique_handle folder(CreateFileW(to_wide_nul(path).c_str(), WRITE_DAC | WRITE_OWNER,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(folder) << path << ": " << GetLastError();
  auto descriptor = SddlDescriptor::parse(sddl);
  ASSERT_TRUE(descriptor);
  ASSERT_TRUE(descriptor->apply_to(folder.get())) << path;
}

// Whether `path`'s DACL holds an explicit deny entry for the SID whose text is `sid`.
bool denies(const std::string& path, const std::string& sid) {
  auto object = DaclObject::open_to_read(path);
  auto dacl = object ? object->read_dacl() : std::unexpected(object.error());
  if (!dacl) return false;
  auto entries = AceList::read(dacl->dacl);
  if (!entries) return false;
  for (const Ace& entry : entries->entries()) {
    if (entry.type() != ACCESS_DENIED_ACE_TYPE) continue;
    auto text = sid_to_sddl(entry.sid());
    if (text && *text == sid) return true;
  }
  return false;
}

// The loopback-exempt list's entries as SID strings.
std::vector<std::string> exempt_sids() {
  auto list = read_exempt_list();
  EXPECT_TRUE(list);
  std::vector<std::string> sids;
  for (const SID_AND_ATTRIBUTES& entry : list ? list->entries() : decltype(list->entries()){}) {
    if (auto text = sid_to_sddl(entry.Sid)) sids.push_back(*text);
  }
  return sids;
}

class OnWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::running_under_wine()) GTEST_SKIP() << "Wine has no AppContainers";
    if (program.empty()) GTEST_SKIP() << "TAVO_BINARY names no program";
    if (!is_elevated()) GTEST_SKIP() << "the registrations need administrator rights";
  }
  void TearDown() override {
    if (!IsSkipped()) tavo("--cleanup --profile-name " + profile);
  }

  // The program with `arguments`, as a calling application starts it.
  ChildOutcome tavo(const std::string& arguments, bool with_input = true) const {
    return run_child(in_quotes(program) + " " + arguments, with_input);
  }
  // Registers the test's profile, its SID file at root/sid; returns the SID's text.
  std::string register_profile() const {
    const ChildOutcome registered = tavo("--register-sandbox-profile --profile-name " + profile +
                                         " --sid-out-file " + in_quotes(root / "sid"));
    EXPECT_EQ(registered.exit_code, 0u) << registered.out;
    std::string sid = root.exists("sid") ? root.read("sid") : "";
    return sid.erase(sid.find_last_not_of("\r\n") + 1);
  }
  ChildOutcome sandboxed(const std::string& options, const std::string& command,
                         bool with_input = true) const {
    return tavo("--profile-name " + profile + " --sandbox-sid-file " + in_quotes(root / "sid") +
                    " " + options + " -- " + command,
                with_input);
  }

  const std::string program = env_var("TAVO_BINARY").value_or("");
  // A profile of this test run's own, so that runs on one machine do not share one.
  const std::string profile = "tavo-ci-" + std::to_string(GetCurrentProcessId());
  testing::TempDir root;
};

// The command reads what it was granted, nothing it was denied and nothing outside its grants;
// afterwards the deny is gone and the grant stays.
TEST_F(OnWindows, ACommandReadsOnlyWhatItWasGranted) {
  root.write("granted/visible.txt", "visible");
  root.write("granted/secret/hidden.txt", "hidden");
  root.write("outside/other.txt", "other");
  ASSERT_FALSE(register_profile().empty());
  const std::string paths = "--grant-r " + in_quotes(root / "granted") + " --deny-access " +
                            in_quotes(root / "granted/secret") + " --cwd " +
                            in_quotes(root / "granted");
  const ChildOutcome visible = sandboxed(paths, "cmd /c type visible.txt");
  EXPECT_EQ(visible.exit_code, 0u) << visible.out;
  EXPECT_EQ(visible.out, "visible");
  EXPECT_NE(sandboxed(paths, "cmd /c type secret\\hidden.txt").exit_code, 0u);
  EXPECT_NE(sandboxed(paths, "cmd /c type " + in_quotes(root / "outside/other.txt")).exit_code, 0u);
  // Afterwards the grant alone gives both files.
  EXPECT_EQ(sandboxed("--cwd " + in_quotes(root / "granted"),
                      "cmd /c type secret\\hidden.txt visible.txt")
                .exit_code,
            0u);
}

// The command writes a file at once and leaves one behind to write later: the first shows that
// the second's absence is the job's doing, not a write the command could never make.
TEST_F(OnWindows, TheJobEndsWhatTheCommandLeftRunning) {
  root.make_dir("granted");
  ASSERT_FALSE(register_profile().empty());
  const ChildOutcome o = sandboxed(
      "--grant-rw " + in_quotes(root / "granted") + " --cwd " + in_quotes(root / "granted"),
      "cmd /c echo early> early.txt & start /b cmd /c \"ping -n 4 127.0.0.1 >NUL & echo late> "
      "late.txt\"");
  EXPECT_EQ(o.exit_code, 0u) << o.out;
  EXPECT_TRUE(root.exists("granted/early.txt"));
  std::this_thread::sleep_for(std::chrono::seconds(6));
  EXPECT_FALSE(root.exists("granted/late.txt"));
}

// The command's exit code reaches the status (how a code becomes a status is the unit tests');
// a caller without standard input is served.
TEST_F(OnWindows, TheCommandsExitCodeBecomesTheStatus) {
  ASSERT_FALSE(register_profile().empty());
  EXPECT_EQ(sandboxed("", "cmd /c exit 300").exit_code, 44u);
  EXPECT_EQ(sandboxed("", "cmd /c echo ok", false).out.substr(0, 2), "ok");
}

// The command makes a file where --grant-rw lets it, and none in a folder denied to it or in one
// outside its grants.
TEST_F(OnWindows, ACommandWritesOnlyWhereItWasGrantedReadWrite) {
  root.make_dir("work/secret");
  root.make_dir("outside");
  ASSERT_FALSE(register_profile().empty());
  const std::string paths = "--grant-rw " + in_quotes(root / "work") + " --deny-access " +
                            in_quotes(root / "work/secret") + " --cwd " + in_quotes(root / "work");
  const ChildOutcome made = sandboxed(paths, "cmd /c echo made> made.txt");
  EXPECT_EQ(made.exit_code, 0u) << made.out;
  EXPECT_EQ(root.read("work/made.txt"), "made\r\n");
  EXPECT_NE(sandboxed(paths, "cmd /c echo denied> secret\\denied.txt").exit_code, 0u);
  EXPECT_FALSE(root.exists("work/secret/denied.txt"));
  const std::string stray = in_quotes(root / "outside\\stray.txt");
  EXPECT_NE(sandboxed(paths, "cmd /c echo stray> " + stray).exit_code, 0u);
  EXPECT_FALSE(root.exists("outside/stray.txt"));
}

// A credential folder owned by SYSTEM whose DACL leaves Administrators out: the elevated
// registration may not change it (no implicit right on an object it does not own), says so and
// denies the other credential folders as usual.
TEST_F(OnWindows, ARegistrationGoesOnPastACredentialFolderItMayNotChange) {
  root.make_dir("home/.ssh");
  root.make_dir("home/.docker");
  root.make_dir("local");
  root.make_dir("roaming");
  const std::string locked = root / "home\\.ssh";
  impose(locked, "O:SYD:P(A;OICI;FA;;;SY)");
  struct Unlock {
    std::string path;
    // Taken back with the privileges, so that the folder can be removed.
    ~Unlock() { impose(path, "O:BAD:"); }
  } unlock{locked};
  testing::ScopedEnv home("USERPROFILE", root / "home");
  testing::ScopedEnv local("LOCALAPPDATA", root / "local");
  testing::ScopedEnv roaming("APPDATA", root / "roaming");
  testing::ScopedEnv warnings("RUST_LOG", "warn");
  const ChildOutcome registered = tavo("--register-sandbox-profile --profile-name " + profile +
                                       " --sid-out-file " + in_quotes(root / "sid"));
  EXPECT_EQ(registered.exit_code, 0u) << registered.out;
  EXPECT_NE(registered.out.find("DENY ACE on " + locked + " failed"), std::string::npos)
      << registered.out;
  const std::string sid = root.read("sid").substr(0, root.read("sid").find_first_of("\r\n"));
  EXPECT_TRUE(denies(root / "home\\.docker", sid)) << sid;
}

// A command granted the whole profile folder still cannot write into the program's journal
// folder: the folder is the user's own and inherits nothing.
TEST_F(OnWindows, AGrantAboveTheJournalFolderDoesNotReachIt) {
  const std::string profile_dir = env_var("USERPROFILE").value_or("");
  const std::string runs = env_var("LOCALAPPDATA").value_or("") + "\\Tavo\\runs";
  ASSERT_FALSE(profile_dir.empty());
  ASSERT_FALSE(register_profile().empty());
  const std::string planted = runs + "\\planted-" + profile + ".journal";
  const ChildOutcome o =
      sandboxed("--grant-rw " + in_quotes(profile_dir), "cmd /c type nul > " + in_quotes(planted));
  EXPECT_NE(o.exit_code, 0u) << o.out;
  EXPECT_EQ(GetFileAttributesW(to_wide_nul(planted).c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(tavo("--cleanup --profile-name " + profile + " --sandbox-sid-file " +
                 in_quotes(root / "sid") + " --revoke " + in_quotes(profile_dir))
                .exit_code,
            0u);
}

// A deny takes everything from the SID: inside a folder granted read-write the command cannot
// move a denied folder aside (the grant's DELETE does not reach it), and inside a folder granted
// full control, as a tool cache is, it cannot take the deny off a file's DACL and then read it.
TEST_F(OnWindows, ACommandCanNeitherMoveNorUnlockWhatItWasDenied) {
  root.write("work/locked/inner.txt", "inner");
  root.write("cache/token.txt", "s3cr3t-value");
  const std::string sid = register_profile();
  ASSERT_FALSE(sid.empty());
  const ChildOutcome full =
      run_child("icacls " + in_quotes(root / "cache") + " /grant *" + sid + ":(OI)(CI)F", true);
  ASSERT_EQ(full.exit_code, 0u) << full.out;

  const ChildOutcome moved =
      sandboxed("--grant-rw " + in_quotes(root / "work") + " --deny-access " +
                    in_quotes(root / "work/locked") + " --cwd " + in_quotes(root / "work"),
                "cmd /c ren locked moved");
  EXPECT_NE(moved.exit_code, 0u) << moved.out;
  EXPECT_TRUE(root.exists("work/locked/inner.txt"));
  EXPECT_FALSE(root.exists("work/moved"));

  const ChildOutcome unlocked =
      sandboxed("--deny-access " + in_quotes(root / "cache/token.txt") + " --cwd " +
                    in_quotes(root / "cache"),
                "cmd /c icacls token.txt /remove:d *" + sid + " & type token.txt");
  EXPECT_NE(unlocked.exit_code, 0u) << unlocked.out;
  EXPECT_EQ(unlocked.out.find("s3cr3t-value"), std::string::npos) << unlocked.out;
}

// A pool registered, used and cleaned up; the loopback-exempt list keeps every entry it had.
TEST_F(OnWindows, APoolsWholeLifeLeavesTheLoopbackListsEntries) {
  const std::vector<std::string> kept = exempt_sids();
  const std::string pool = in_quotes(root / "pool");
  ASSERT_EQ(tavo("--register-pool --pool-size 2 --pool-dir " + pool).exit_code, 0u);
  EXPECT_EQ(tavo("--check-pool-version --pool-dir " + pool).exit_code, 0u);
  std::string dat;
  for (const auto& entry : std::filesystem::directory_iterator(root / "pool")) {
    if (entry.path().extension() == ".dat") dat = in_quotes(testing::utf8(entry.path()));
  }
  ASSERT_FALSE(dat.empty());
  EXPECT_EQ(tavo("--profile-name any --sandbox-sid-file " + dat + " -- cmd /c exit 0").exit_code,
            0u);
  EXPECT_EQ(tavo("--cleanup --profile-name any --sandbox-sid-file " + dat).exit_code, 0u);
  EXPECT_EQ(tavo("--cleanup --profile-name " + profile).exit_code, 0u);
  const std::vector<std::string> now = exempt_sids();
  for (const std::string& sid : kept)
    EXPECT_NE(std::find(now.begin(), now.end(), sid), now.end()) << sid;
}

}  // namespace
}  // namespace tavo
