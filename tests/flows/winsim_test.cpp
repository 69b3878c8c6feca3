// winsim's own tests. Its test facilities and its state file, which every other test leans on
// without asserting them: a fault that missed its call would let a sweep pass without proving
// anything, and a leak the accounting missed would never fail the fixture. And the platform rules
// it models that the program's own flows do not reach: inheritance flags other than the
// program's, what SetFileSecurityW leaves alone, and the unused space of built ACLs (without it
// the tests of unchanged grants would prove nothing).
#include <gtest/gtest.h>
#include <winsim/testing.h>
#include <winsim/userenv.h>

#include <filesystem>
#include <thread>

#include "base/quoting.h"
#include "flows/host_processes.h"
#include "run/spawn.h"
#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

class Winsim : public testing::MachineTest {
 protected:
  testing::TempDir dir;
};

TEST_F(Winsim, FaultsFailExactlyTheChosenCallsAndTheTraceShowsThem) {
  dir.write("a.txt", "x");
  const WideString path = to_wide_nul(dir / "a.txt");
  auto attributes_fail = [&] {
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
  };

  winsim::fail_next_call("GetFileAttributesW", "a.txt", ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(attributes_fail());
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(attributes_fail());  // once only

  winsim::fail_call_number(2, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(attributes_fail());
  EXPECT_TRUE(attributes_fail());
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  winsim::fail_every_call("DeleteFileW", "a.txt", ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  winsim::clear_faults();
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  EXPECT_EQ(winsim::count_calls("GetFileAttributesW", "a.txt"), 4u);
  EXPECT_EQ(winsim::trace().back().function, "DeleteFileW");
  EXPECT_EQ(winsim::trace().back().key, dir / "a.txt");
}

TEST_F(Winsim, AccountingCatchesLeaksAndWrongReleases) {
  HLOCAL block = LocalAlloc(LPTR, 16);
  EXPECT_EQ(winsim::leaks().size(), 1u);
  LocalFree(block);
  EXPECT_TRUE(winsim::leaks().empty());
  LocalFree(block);  // twice
  WIN32_FIND_DATAW data{};
  CloseHandle(FindFirstFileW(to_wide_nul(dir / "*").c_str(), &data));
  PSID sid = nullptr;
  ASSERT_EQ(DeriveAppContainerSidFromAppContainerName(to_wide_nul("p").c_str(), &sid), S_OK);
  LocalFree(sid);
  const std::vector<std::string> errors = winsim::release_errors();
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_NE(errors[1].find("must be released with FindClose"), std::string::npos) << errors[1];
  EXPECT_NE(errors[2].find("must be released with FreeSid"), std::string::npos) << errors[2];
  winsim::reset();
}

// A test that fails half-way must not leave host processes behind for the next one.
TEST_F(Winsim, AResetEndsEveryProcessTheTestStarted) {
  auto start = [](const std::string& script) {
    WideString line = to_wide_nul(*command_line("sh", {"-c", script}));
    STARTUPINFOW info{};
    info.cb = sizeof info;
    PROCESS_INFORMATION created{};
    EXPECT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                               nullptr, nullptr, &info, &created));
    return created;
  };
  const PROCESS_INFORMATION suspended = start("sleep 30");
  const PROCESS_INFORMATION running =
      start("sleep 30 & echo $! > " + dir / "bg.pid" + "; sleep 30");
  ASSERT_TRUE(AssignProcessToJobObject(CreateJobObjectW(nullptr, nullptr), running.hProcess));
  ResumeThread(running.hThread);
  for (int i = 0; i < 200 && dir.read("bg.pid").find('\n') == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const pid_t pids[] = {static_cast<pid_t>(suspended.dwProcessId),
                        static_cast<pid_t>(running.dwProcessId), std::stoi(dir.read("bg.pid"))};
  winsim::reset();  // forgets the handles with everything else
  for (pid_t pid : pids)
    EXPECT_TRUE(testing::host_process_ends_soon(pid)) << pid;
}

// Other tools read and write the file: each kind of record is read by the next process, and
// written back grouped in a fixed order, aliases in S-1 form, records of unknown kinds kept.
TEST_F(Winsim, TheStateFileCarriesTheMachineFromProcessToProcess) {
  dir.write("d/f.txt", "x");
  dir.write("keep.txt", "x");
  dir.write("state",
            "winsim-state 1\n"
            "future\tkept as it is\n"
            "fault\tDeleteFileW\tkeep.txt\t32\n"
            "object\t" +
                dir / "d" +
                "\tD:P(A;OICI;0x1;;;BU)\n"
                "loopback\tS-1-15-2-9\t2\n"
                "loopback\tS-1-15-2-1\t0\n"
                "object\tNUL\tD:\n"
                "profile\tp\tS-1-15-2-9\n");
  testing::ScopedEnv state("WINSIM_STATE", dir / "state");
  winsim::reset();  // the next call loads the file
  EXPECT_EQ(winsim::profiles(), std::vector<std::string>{"p=S-1-15-2-9"});
  EXPECT_EQ(winsim::loopback_entries(),
            (std::vector<std::pair<std::string, DWORD>>{{"S-1-15-2-9", 2}, {"S-1-15-2-1", 0}}));
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/f.txt"), "D:(A;ID;0x1;;;S-1-5-32-545)");
  EXPECT_EQ(winsim::dacl_sddl("NUL"), "D:");
  EXPECT_FALSE(DeleteFileW(to_wide_nul(dir / "keep.txt").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

  winsim::set_stored_sddl(dir / "d/f.txt", "D:(D;;0x1301bf;;;S-1-15-2-9)");
  winsim::fail_next_call("GetFileAttributesW", "", 5);  // one-shot faults are not kept
  winsim::fail_every_call("DeleteFileW", "other", 5);
  winsim::replace_with_link_after("GetSecurityInfo", "never", "C:\\a", "C:\\b");
  EXPECT_EQ(dir.read("state"),
            "winsim-state 1\n"
            "profile\tp\tS-1-15-2-9\n"
            "loopback\tS-1-15-2-9\t2\n"
            "loopback\tS-1-15-2-1\t0\n"
            "object\t" +
                dir / "d" +
                "\tD:P(A;OICI;0x1;;;S-1-5-32-545)\n"
                "object\t" +
                dir / "d/f.txt" +
                "\tD:(D;;0x1301bf;;;S-1-15-2-9)\n"
                "object\tNUL\tD:\n"
                "fault\tDeleteFileW\tkeep.txt\t32\n"
                "fault\tDeleteFileW\tother\t5\n"
                "fault\tGetSecurityInfo\tnever\tswap\tC:\\a\tC:\\b\n"
                "future\tkept as it is\n");
  winsim::reset();
}

constexpr const char* kApp = "S-1-15-2-9";

class WinsimModel : public testing::MachineTest {
 protected:
  // One record for kApp, on a SID the test owns.
  EXPLICIT_ACCESS_W record(ACCESS_MODE mode, DWORD mask, DWORD inheritance) {
    if (!app_) {
      EXPECT_TRUE(ConvertStringSidToSidW(to_wide_nul(kApp).c_str(), app_.put()));
    }
    EXPLICIT_ACCESS_W r{};
    r.grfAccessPermissions = mask;
    r.grfAccessMode = mode;
    r.grfInheritance = inheritance;
    r.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    r.Trustee.ptstrName = static_cast<LPWSTR>(app_.get());
    return r;
  }

  unique_local<void> app_;
  testing::TempDir dir;
};

TEST_F(WinsimModel, InheritanceFollowsEachEntrysFlags) {
  EXPECT_EQ(winsim::dacl_sddl("/"),
            "D:(A;OICI;0x1f01ff;;;S-1-5-18)(A;OICI;0x1f01ff;;;S-1-5-32-544)"
            "(A;OICI;0x1200a9;;;S-1-5-32-545)");
  EXPECT_EQ(winsim::dacl_sddl("NUL"),
            "D:(A;;0x1f01ff;;;S-1-5-18)(A;;0x1f01ff;;;S-1-5-32-544)(A;;0xc0000000;;;S-1-1-0)");
  dir.write("top/f.txt", "x");
  dir.write("top/sub/f.txt", "x");
  dir.write("top/sub/closed.txt", "x");
  dir.make_dir("top/sub/deeper");
  winsim::set_stored_sddl(dir / "top",
                          "D:P(A;OICI;0x1;;;S-1-15-2-1)(A;OI;0x2;;;S-1-15-2-2)"
                          "(A;CI;0x4;;;S-1-15-2-3)(A;OICINP;0x8;;;S-1-15-2-4)(A;;0x10;;;BU)");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/f.txt"),
            "D:(A;ID;0x1;;;S-1-15-2-1)(A;ID;0x2;;;S-1-15-2-2)(A;ID;0x8;;;S-1-15-2-4)");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/sub/deeper"),
            "D:(A;OICIID;0x1;;;S-1-15-2-1)(A;OIIOID;0x2;;;S-1-15-2-2)(A;CIID;0x4;;;S-1-15-2-3)");
  // Own entries first, then the nearest parent's; a protected object inherits nothing.
  winsim::set_stored_sddl(dir / "top/sub", "D:(D;OICI;0x20;;;S-1-15-2-5)");
  winsim::set_stored_sddl(dir / "top/sub/f.txt", "D:(A;;0x40;;;S-1-15-2-6)");
  winsim::set_stored_sddl(dir / "top/sub/closed.txt", "D:P");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/sub/f.txt"),
            "D:(A;;0x40;;;S-1-15-2-6)(D;ID;0x20;;;S-1-15-2-5)(A;ID;0x1;;;S-1-15-2-1)"
            "(A;ID;0x2;;;S-1-15-2-2)");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/sub/closed.txt"), "D:P");
}

// The children keep what the directory passed on before the write, in the next process too,
// until a write that propagates.
TEST_F(WinsimModel, SetFileSecurityWChangesOneObjectOnly) {
  testing::ScopedEnv state("WINSIM_STATE", dir / "state");
  winsim::reset();
  dir.write("d/f.txt", "x");
  const std::string file = winsim::dacl_sddl(dir / "d/f.txt");
  const WideString directory = to_wide_nul(dir / "d");
  {
    EXPLICIT_ACCESS_W grant = record(GRANT_ACCESS, 0x1200A9, 3);
    unique_local<ACL> acl;
    ASSERT_EQ(SetEntriesInAclW(1, &grant, nullptr, acl.put()), ERROR_SUCCESS);
    SECURITY_DESCRIPTOR sd{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl.get(), FALSE));
    ASSERT_TRUE(SetFileSecurityW(directory.c_str(), DACL_SECURITY_INFORMATION, &sd));
    app_.reset();
  }
  EXPECT_EQ(winsim::stored_sddl(dir / "d"), "D:(A;OICI;0x1200a9;;;S-1-15-2-9)");
  winsim::reset();
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/f.txt"), file);

  PACL dacl = nullptr;
  unique_local<void> sd;
  ASSERT_EQ(GetNamedSecurityInfoW(directory.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &dacl, nullptr, sd.put()),
            ERROR_SUCCESS);
  ASSERT_EQ(SetNamedSecurityInfoW(const_cast<LPWSTR>(directory.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/f.txt"), "D:(A;ID;0x1200a9;;;S-1-15-2-9)" + file.substr(2));
}

// What a handle names is fixed at the open: renaming its object moves the edit along, a removed
// object refuses it, and WRITE_DAC is only had where the caller may change the DACL.
TEST_F(WinsimModel, AHandleStaysOnTheObjectItOpened) {
  dir.make_dir("d");
  dir.make_dir("owned");
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  auto open = [&](const std::string& path, DWORD access) {
    return unique_handle(CreateFileW(to_wide_nul(path).c_str(), access, kShareAll, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  };
  EXPLICIT_ACCESS_W grant = record(GRANT_ACCESS, 0x1200A9, 0);
  unique_local<ACL> acl;
  ASSERT_EQ(SetEntriesInAclW(1, &grant, nullptr, acl.put()), ERROR_SUCCESS);
  auto write = [&](const unique_handle& handle) {
    return SetSecurityInfo(handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                           nullptr, acl.get(), nullptr);
  };

  unique_handle handle = open(dir / "d", READ_CONTROL | WRITE_DAC);
  ASSERT_TRUE(handle);
  std::filesystem::rename(dir / "d", dir / "moved");
  dir.make_dir("d");
  ASSERT_EQ(write(handle), ERROR_SUCCESS);
  EXPECT_EQ(winsim::stored_sddl(dir / "moved"), "D:(A;;0x1200a9;;;S-1-15-2-9)");
  EXPECT_EQ(winsim::stored_sddl(dir / "d"), "");
  std::filesystem::remove(dir / "moved");
  EXPECT_EQ(write(handle), ERROR_ACCESS_DENIED);

  testing::ScopedEnv unprivileged("WINSIM_ADMIN", "0");
  winsim::set_owner(dir / "owned", "S-1-5-18");
  EXPECT_FALSE(open(dir / "owned", READ_CONTROL | WRITE_DAC));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  unique_handle reader = open(dir / "owned", READ_CONTROL);
  ASSERT_TRUE(reader);
  EXPECT_EQ(write(reader), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(open(dir / "d", READ_CONTROL | WRITE_DAC));  // the caller's own
}

TEST_F(WinsimModel, BuiltAclsCarryUnusedSpace) {
  EXPLICIT_ACCESS_W grant = record(GRANT_ACCESS, 0x1200A9, 3);
  unique_local<ACL> acl;
  ASSERT_EQ(SetEntriesInAclW(1, &grant, nullptr, acl.put()), ERROR_SUCCESS);
  EXPECT_EQ(acl.get()->AceCount, 1);
  EXPECT_GT(acl.get()->AclSize, 8u + 8u + 8u + 4u * 2u);  // header, entry and SID
}

}  // namespace
}  // namespace tavo
