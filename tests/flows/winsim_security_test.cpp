// winsim's security model: default DACLs, inheritance, protected and unprotected writes, the
// file-security pair, descriptors, privilege and the persisted state.
#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <cstring>
#include <functional>

#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/api.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

constexpr const char* kApp = "S-1-15-2-1-2-3-4-5-6-7";
// What every object below a root inherits from the root's default DACL.
constexpr const char* kInheritedByFiles =
    "(A;ID;0x1f01ff;;;S-1-5-18)(A;ID;0x1f01ff;;;S-1-5-32-544)(A;ID;0x1200a9;;;S-1-5-32-545)";
constexpr const char* kInheritedByDirs =
    "(A;OICIID;0x1f01ff;;;S-1-5-18)(A;OICIID;0x1f01ff;;;S-1-5-32-544)"
    "(A;OICIID;0x1200a9;;;S-1-5-32-545)";

std::string sddl(std::string_view text) {
  return std::string(text);
}

class WinsimSecurity : public testing::MachineTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ConvertStringSidToSidW(to_wide_nul(kApp).c_str(), app_.put()));
  }
  // A new process on the same machine: what is not in the state file is gone.
  void next_process() {
    app_.reset();
    winsim::reset();
    ASSERT_TRUE(ConvertStringSidToSidW(to_wide_nul(kApp).c_str(), app_.put()));
  }
  void TearDown() override {
    app_.reset();
    MachineTest::TearDown();
  }

  // Reads the object's DACL, applies one record for the app SID and writes the result back with
  // `info`, as the program's edits do.
  DWORD edit(const std::string& path, ACCESS_MODE mode, DWORD mask, DWORD inheritance,
             SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION) {
    const WideString wide = to_wide_nul(path);
    PACL dacl = nullptr;
    unique_local<void> sd;
    if (DWORD e = GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, &dacl, nullptr, sd.put())) {
      return e;
    }
    unique_local<ACL> updated;
    EXPLICIT_ACCESS_W record = access(mode, mask, inheritance);
    if (DWORD e = SetEntriesInAclW(1, &record, dacl, updated.put())) return e;
    return SetNamedSecurityInfoW(const_cast<LPWSTR>(wide.c_str()), SE_FILE_OBJECT, info, nullptr,
                                 nullptr, updated.get(), nullptr);
  }

  // Writes the object's own DACL back as read, with `info`.
  DWORD rewrite(const std::string& path, SECURITY_INFORMATION info) {
    const WideString wide = to_wide_nul(path);
    PACL dacl = nullptr;
    unique_local<void> sd;
    if (DWORD e = GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, &dacl, nullptr, sd.put())) {
      return e;
    }
    return SetNamedSecurityInfoW(const_cast<LPWSTR>(wide.c_str()), SE_FILE_OBJECT, info, nullptr,
                                 nullptr, dacl, nullptr);
  }

  EXPLICIT_ACCESS_W access(ACCESS_MODE mode, DWORD mask, DWORD inheritance) {
    EXPLICIT_ACCESS_W record{};
    record.grfAccessPermissions = mask;
    record.grfAccessMode = mode;
    record.grfInheritance = inheritance;
    record.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    record.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
    record.Trustee.ptstrName = static_cast<LPWSTR>(app_.get());
    return record;
  }

  // The self-relative descriptor GetFileSecurityW gives, through its size query.
  std::vector<BYTE> file_security(const std::string& path) {
    DWORD needed = 0;
    const WideString wide = to_wide_nul(path);
    GetFileSecurityW(wide.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (needed == 0 || !GetFileSecurityW(wide.c_str(), DACL_SECURITY_INFORMATION, buffer.data(),
                                         needed, &needed)) {
      return {};
    }
    return buffer;
  }

  unique_local<void> app_;
  testing::TempDir dir;
};

TEST_F(WinsimSecurity, RootsAndTheNulDeviceStartWithTheirDefaults) {
  testing::ScopedEnv root("WINSIM_ROOT", dir.path());
  dir.write("c/Users/ann/f.txt", "x");
  EXPECT_EQ(winsim::dacl_sddl("C:\\"),
            "D:(A;OICI;0x1f01ff;;;S-1-5-18)(A;OICI;0x1f01ff;;;S-1-5-32-544)"
            "(A;OICI;0x1200a9;;;S-1-5-32-545)");
  EXPECT_EQ(winsim::dacl_sddl("C:\\Users\\ann"), sddl("D:") + kInheritedByDirs);
  EXPECT_EQ(winsim::dacl_sddl("C:\\Users\\ann\\f.txt"), sddl("D:") + kInheritedByFiles);
  EXPECT_EQ(winsim::dacl_sddl(dir / "c"), winsim::dacl_sddl("C:\\"));  // host path, same object
  EXPECT_EQ(winsim::dacl_sddl("/"), winsim::dacl_sddl("C:\\"));
  EXPECT_EQ(winsim::dacl_sddl("NUL"),
            "D:(A;;0x1f01ff;;;S-1-5-18)(A;;0x1f01ff;;;S-1-5-32-544)(A;;0xc0000000;;;S-1-1-0)");
  EXPECT_EQ(winsim::stored_sddl("C:\\"), "");
  EXPECT_EQ(winsim::dacl_sddl("C:\\missing"), "");
}

TEST_F(WinsimSecurity, InheritanceFollowsEachEntrysFlags) {
  dir.write("top/f.txt", "x");
  dir.write("top/sub/f.txt", "x");
  dir.make_dir("top/sub/deeper");
  winsim::set_stored_sddl(dir / "top",
                          "D:P(A;OICI;0x1;;;S-1-15-2-1)(A;OI;0x2;;;S-1-15-2-2)"
                          "(A;CI;0x4;;;S-1-15-2-3)(A;OICINP;0x8;;;S-1-15-2-4)(A;;0x10;;;BU)");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/f.txt"),
            "D:(A;ID;0x1;;;S-1-15-2-1)(A;ID;0x2;;;S-1-15-2-2)(A;ID;0x8;;;S-1-15-2-4)");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/sub"),
            "D:(A;OICIID;0x1;;;S-1-15-2-1)(A;OIIOID;0x2;;;S-1-15-2-2)(A;CIID;0x4;;;S-1-15-2-3)"
            "(A;ID;0x8;;;S-1-15-2-4)");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/sub/f.txt"),
            "D:(A;ID;0x1;;;S-1-15-2-1)(A;ID;0x2;;;S-1-15-2-2)");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/sub/deeper"),
            "D:(A;OICIID;0x1;;;S-1-15-2-1)(A;OIIOID;0x2;;;S-1-15-2-2)(A;CIID;0x4;;;S-1-15-2-3)");

  // The nearest parent's entries come first, after the object's own.
  winsim::set_stored_sddl(dir / "top/sub", "D:(D;OICI;0x20;;;S-1-15-2-5)");
  winsim::set_stored_sddl(dir / "top/sub/f.txt", "D:(A;;0x40;;;S-1-15-2-6)");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/sub/f.txt"),
            "D:(A;;0x40;;;S-1-15-2-6)(D;ID;0x20;;;S-1-15-2-5)(A;ID;0x1;;;S-1-15-2-1)"
            "(A;ID;0x2;;;S-1-15-2-2)");
}

TEST_F(WinsimSecurity, AGrantReachesExistingChildrenExceptProtectedOnes) {
  dir.write("d/open.txt", "x");
  dir.write("d/closed.txt", "x");
  ASSERT_EQ(rewrite(dir / "d/closed.txt",
                    PROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
            ERROR_SUCCESS);
  ASSERT_EQ(edit(dir / "d", SET_ACCESS, 0x1301BF, 3), ERROR_SUCCESS);
  EXPECT_EQ(winsim::stored_sddl(dir / "d"), sddl("D:(A;OICI;0x1301bf;;;") + kApp + ")");
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/open.txt"),
            sddl("D:(A;ID;0x1301bf;;;") + kApp + ")" + kInheritedByFiles);
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/closed.txt"), sddl("D:P") + kInheritedByFiles);

  // Unprotected again, it inherits what its parent passes on now, without duplicates.
  ASSERT_EQ(rewrite(dir / "d/closed.txt",
                    UNPROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
            ERROR_SUCCESS);
  EXPECT_EQ(winsim::stored_sddl(dir / "d/closed.txt"), "");
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/closed.txt"), winsim::dacl_sddl(dir / "d/open.txt"));
}

TEST_F(WinsimSecurity, ProtectionIsKeptUnlessTheWriteSaysOtherwise) {
  dir.write("f.txt", "x");
  const std::string file = dir / "f.txt";
  const std::string deny = sddl("(D;;0x1201bf;;;") + kApp + ")";
  ASSERT_EQ(edit(file, DENY_ACCESS, 0x1201BF, 0,
                 PROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
            ERROR_SUCCESS);
  EXPECT_EQ(winsim::stored_sddl(file), "D:P" + deny + kInheritedByFiles);
  ASSERT_EQ(edit(file, GRANT_ACCESS, 0x1200A9, 0), ERROR_SUCCESS);  // neither flag
  EXPECT_EQ(winsim::stored_sddl(file),
            "D:P" + deny + sddl("(A;;0x1200a9;;;") + kApp + ")" + kInheritedByFiles);

  ASSERT_EQ(edit(file, REVOKE_ACCESS, 0, 3,
                 UNPROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
            ERROR_SUCCESS);
  EXPECT_EQ(winsim::stored_sddl(file), "D:" + deny);  // REVOKE_ACCESS leaves deny entries
  EXPECT_EQ(winsim::dacl_sddl(file), "D:" + deny + kInheritedByFiles);

  // An empty DACL written to an unprotected object brings back what it inherits.
  unique_local<ACL> empty;
  EXPLICIT_ACCESS_W revoke = access(REVOKE_ACCESS, 0, 0);
  ASSERT_EQ(SetEntriesInAclW(1, &revoke, nullptr, empty.put()), ERROR_SUCCESS);
  WideString wide = to_wide_nul(file);
  ASSERT_EQ(SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, empty.get(), nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(winsim::dacl_sddl(file), sddl("D:") + kInheritedByFiles);
  EXPECT_EQ(SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION |
                                      UNPROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, empty.get(), nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(WinsimSecurity, FileSecurityWritesChangeOneObjectOnly) {
  dir.write("d/f.txt", "x");
  const std::string directory = dir / "d";
  std::vector<BYTE> current = file_security(directory);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(current.data(), &present, &dacl, &defaulted));
  unique_local<ACL> updated;
  EXPLICIT_ACCESS_W record = access(GRANT_ACCESS, 0x1200A9, 3);
  ASSERT_EQ(SetEntriesInAclW(1, &record, dacl, updated.put()), ERROR_SUCCESS);
  SECURITY_DESCRIPTOR sd{};
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, updated.get(), FALSE));
  ASSERT_TRUE(SetFileSecurityW(to_wide_nul(directory).c_str(), DACL_SECURITY_INFORMATION, &sd));

  const std::string grant = sddl("(A;OICI;0x1200a9;;;") + kApp + ")";
  EXPECT_EQ(winsim::dacl_sddl(directory), "D:" + grant + kInheritedByDirs);
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/f.txt"), sddl("D:") + kInheritedByFiles);
  // A propagating write of the same DACL lets the children see it.
  ASSERT_EQ(rewrite(directory, DACL_SECURITY_INFORMATION), ERROR_SUCCESS);
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/f.txt"),
            sddl("D:(A;ID;0x1200a9;;;") + kApp + ")" + kInheritedByFiles);

  // The descriptor's control decides protection: a protected one protects, a plain one keeps.
  dir.write("g.txt", "x");
  winsim::set_stored_sddl(dir / "g.txt", "D:P(A;;0x1;;;BU)");
  std::vector<BYTE> protected_sd = file_security(dir / "g.txt");
  ASSERT_TRUE(SetFileSecurityW(to_wide_nul(dir / "d/f.txt").c_str(), DACL_SECURITY_INFORMATION,
                               protected_sd.data()));
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/f.txt"), "D:P(A;;0x1;;;S-1-5-32-545)");
  ASSERT_TRUE(SetFileSecurityW(to_wide_nul(dir / "g.txt").c_str(), DACL_SECURITY_INFORMATION, &sd));
  EXPECT_EQ(winsim::dacl_sddl(dir / "g.txt").substr(0, 3), "D:P");
}

TEST_F(WinsimSecurity, DescriptorsAreRealSelfRelativeStructures) {
  dir.write("f.txt", "x");
  winsim::set_stored_sddl(dir / "f.txt", "D:P");
  const std::vector<BYTE> empty = file_security(dir / "f.txt");
  const std::vector<BYTE> expected = {1, 0, 0x04, 0x90, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                      0, 0, 20,   0,    0, 0, 2, 0, 8, 0, 0, 0, 0, 0};
  EXPECT_EQ(empty, expected);

  // The entries of ALL APPLICATION PACKAGES can be found byte for byte, inherited ones too.
  dir.write("d/f.txt", "x");
  winsim::set_stored_sddl(dir / "d", "D:(D;OICI;0x1;;;AC)");
  const std::vector<BYTE> inherited = file_security(dir / "d/f.txt");
  const BYTE packages[] = {1, 2, 0, 0, 0, 0, 0, 15, 2, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_NE(
      std::search(inherited.begin(), inherited.end(), std::begin(packages), std::end(packages)),
      inherited.end());

  // The named read hands out one LocalAlloc block with the DACL inside it.
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(to_wide_nul(dir / "d/f.txt").c_str(), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
            ERROR_SUCCESS);
  EXPECT_EQ(reinterpret_cast<BYTE*>(dacl), static_cast<BYTE*>(sd) + 20);
  EXPECT_EQ(std::memcmp(sd, inherited.data(), inherited.size()), 0);
  EXPECT_EQ(winsim::leaks().size(), 2u);  // the descriptor and the test's SID
  LocalFree(sd);
}

TEST_F(WinsimSecurity, BuiltAclsCarryUnusedSpaceAndStayBelowTheLimit) {
  unique_local<ACL> acl;
  EXPLICIT_ACCESS_W record = access(GRANT_ACCESS, 0x1200A9, 3);
  ASSERT_EQ(SetEntriesInAclW(1, &record, nullptr, acl.put()), ERROR_SUCCESS);
  const std::size_t in_use = 8 + 8 + 8 + 4 * 7;
  EXPECT_GT(acl.get()->AclSize, in_use);
  EXPECT_EQ(acl.get()->AceCount, 1);

  // 900 entries of 76 bytes pass 64 KiB; 800 do not.
  std::vector<unique_local<void>> sids(900);
  std::vector<EXPLICIT_ACCESS_W> records(900, record);
  for (std::size_t i = 0; i < sids.size(); ++i) {
    ASSERT_TRUE(ConvertStringSidToSidW(
        to_wide_nul("S-1-15-2-1-2-3-4-5-6-7-8-9-10-11-12-13-" + std::to_string(i)).c_str(),
        sids[i].put()));
    records[i].Trustee.ptstrName = static_cast<LPWSTR>(sids[i].get());
  }
  PACL big = reinterpret_cast<PACL>(this);
  EXPECT_EQ(SetEntriesInAclW(900, records.data(), nullptr, &big), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(big, nullptr);
  EXPECT_EQ(SetEntriesInAclW(800, records.data(), nullptr, &big), ERROR_SUCCESS);
  LocalFree(big);
}

TEST_F(WinsimSecurity, OnlyAnAdministratorChangesTheNulDevice) {
  auto grant_nul = [&]() -> DWORD {
    unique_handle nul(CreateFileW(to_wide_nul("NUL").c_str(), GENERIC_READ | READ_CONTROL, 3,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    PACL dacl = nullptr;
    unique_local<void> sd;
    if (DWORD e = GetSecurityInfo(nul.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, sd.put())) {
      return e;
    }
    unique_local<ACL> updated;
    EXPLICIT_ACCESS_W record = access(GRANT_ACCESS, 0xC0000000, 0);
    if (DWORD e = SetEntriesInAclW(1, &record, dacl, updated.put())) return e;
    return SetSecurityInfo(nul.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                           updated.get(), nullptr);
  };
  const std::string before = winsim::dacl_sddl("NUL");
  {
    testing::ScopedEnv user("WINSIM_ADMIN", "0");
    EXPECT_EQ(grant_nul(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(winsim::dacl_sddl("NUL"), before);
    dir.write("mine.txt", "x");
    EXPECT_EQ(edit(dir / "mine.txt", SET_ACCESS, 0x1200A9, 0), ERROR_SUCCESS);
  }
  ASSERT_EQ(grant_nul(), ERROR_SUCCESS);
  ASSERT_EQ(grant_nul(), ERROR_SUCCESS);
  EXPECT_EQ(winsim::dacl_sddl("NUL"),
            sddl("D:(A;;0xc0000000;;;") + kApp +
                ")(A;;0x1f01ff;;;S-1-5-18)(A;;0x1f01ff;;;S-1-5-32-544)(A;;0xc0000000;;;S-1-1-0)");
  EXPECT_EQ(winsim::count_calls("SetSecurityInfo", "NUL"), 3u);
}

TEST_F(WinsimSecurity, FailuresReturnTheErrorAndChangeNothing) {
  dir.write("f.txt", "x");
  EXPECT_EQ(edit(dir / "missing.txt", SET_ACCESS, 1, 0), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(edit(dir / "no/such.txt", SET_ACCESS, 1, 0), ERROR_PATH_NOT_FOUND);
  {
    testing::ScopedEnv unmapped("WINSIM_ROOT", std::nullopt);
    EXPECT_EQ(edit("C:\\Windows", SET_ACCESS, 1, 0), ERROR_PATH_NOT_FOUND);
  }
  winsim::fail_next_call("SetNamedSecurityInfoW", "f.txt", ERROR_ACCESS_DENIED);
  SetLastError(1234);
  EXPECT_EQ(edit(dir / "f.txt", SET_ACCESS, 1, 0), ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(winsim::stored_sddl(dir / "f.txt"), "");
  EXPECT_EQ(winsim::count_calls("GetNamedSecurityInfoW", dir / "f.txt"), 1u);
  EXPECT_EQ(winsim::count_calls("SetEntriesInAclW", kApp), 1u);
}

TEST_F(WinsimSecurity, StateTravelsThroughTheStateFile) {
  testing::ScopedEnv state("WINSIM_STATE", dir / "state");
  next_process();
  dir.write("d/f.txt", "x");
  ASSERT_EQ(edit(dir / "d/f.txt", DENY_ACCESS, 0x1201BF, 0,
                 PROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
            ERROR_SUCCESS);
  ASSERT_EQ(edit(dir / "d", SET_ACCESS, 0x1301BF, 3), ERROR_SUCCESS);
  EXPECT_EQ(dir.read("state"),
            "winsim-state 1\n"
            "object\t" +
                dir / "d" + "\tD:(A;OICI;0x1301bf;;;" + kApp + ")\n" + "object\t" +
                dir / "d/f.txt" + "\tD:P(D;;0x1201bf;;;" + kApp + ")" + kInheritedByFiles + "\n");

  // Written by hand, read by the next process: inheritance is computed from it.
  dir.write("state", "winsim-state 1\nprofile\tp\tS-1-15-2-9\nobject\t" + dir / "d" +
                         "\tD:P(A;OICI;0x1;;;S-1-15-2-9)\nobject\tNUL\tD:\n");
  next_process();
  EXPECT_EQ(winsim::dacl_sddl(dir / "d"), "D:P(A;OICI;0x1;;;S-1-15-2-9)");
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/f.txt"), "D:(A;ID;0x1;;;S-1-15-2-9)");
  EXPECT_EQ(winsim::dacl_sddl("NUL"), "D:");
  EXPECT_EQ(winsim::profiles(), std::vector<std::string>{"p=S-1-15-2-9"});

  // A write that does not propagate records what the children go on inheriting.
  unique_local<ACL> empty;
  EXPLICIT_ACCESS_W revoke = access(REVOKE_ACCESS, 0, 0);
  ASSERT_EQ(SetEntriesInAclW(1, &revoke, nullptr, empty.put()), ERROR_SUCCESS);
  SECURITY_DESCRIPTOR sd{};
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, empty.get(), FALSE));
  ASSERT_TRUE(SetFileSecurityW(to_wide_nul(dir / "d").c_str(), DACL_SECURITY_INFORMATION, &sd));
  EXPECT_NE(dir.read("state").find("inheritable\t" + dir / "d" + "\tD:(A;OICI;0x1;;;S-1-15-2-9)\n"),
            std::string::npos);
  empty.reset();
  next_process();
  EXPECT_EQ(winsim::dacl_sddl(dir / "d"), "D:P");
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/f.txt"), "D:(A;ID;0x1;;;S-1-15-2-9)");
}

}  // namespace
}  // namespace tavo
