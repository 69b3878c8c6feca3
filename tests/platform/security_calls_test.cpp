// The security calls the program relies on, as the platform defines them: SID strings, the
// merge rules of SetEntriesInAclW, ACE and descriptor handling, and the file-security reads.
// Built for Windows too, so that under Wine the platform's own implementation checks winsim's.
#include <gtest/gtest.h>

#include "acl/acl.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/api.h"
#include "win/unique.h"
#include "win/wide.h"

#if defined(_WIN32)
#include <aclapi.h>
#include <sddl.h>
#endif

namespace tavo {
namespace {

constexpr const char* kApp = "S-1-15-2-111-222-333-444-555-666-777";
constexpr const char* kOther = "S-1-15-2-1";
constexpr const char* kUsers = "S-1-5-32-545";

class SecurityCalls : public testing::MachineTest {
 protected:
  void TearDown() override {
    acls_.clear();
    sids_.clear();
    MachineTest::TearDown();
  }

  PSID sid(const std::string& text) {
    PSID out = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(to_wide_nul(text).c_str(), &out)) << text;
    sids_.emplace_back(out);
    return out;
  }

  EXPLICIT_ACCESS_W record(DWORD mask, ACCESS_MODE mode, DWORD inheritance, const char* trustee) {
    return explicit_access(sid(trustee), mask, mode, inheritance);
  }

  // The ACL that the records make from `old`; the test owns it.
  PACL apply(std::vector<EXPLICIT_ACCESS_W> records, PACL old = nullptr) {
    PACL out = nullptr;
    EXPECT_EQ(SetEntriesInAclW(static_cast<ULONG>(records.size()), records.data(), old, &out),
              ERROR_SUCCESS);
    acls_.emplace_back(out);
    return out;
  }

  // The entries in order, each as "A" or "D", its flags, its mask in hexadecimal and its SID.
  static std::string entries_of(PACL acl) {
    std::string out;
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
      void* raw = nullptr;
      LPWSTR text = nullptr;
      if (!GetAce(acl, i, &raw)) return "GetAce failed";
      auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
      if (!ConvertSidToStringSidW(&ace->SidStart, &text)) return "ConvertSidToStringSidW failed";
      char mask[16];
      std::snprintf(mask, sizeof mask, "%x", static_cast<unsigned>(ace->Mask));
      out += std::string("(") + (ace->Header.AceType == ACCESS_DENIED_ACE_TYPE ? "D" : "A") + ";" +
             std::to_string(ace->Header.AceFlags) + ";" + mask + ";" +
             from_wide_lossy(wide_view(text)) + ")";
      LocalFree(text);
    }
    return out;
  }

 private:
  std::vector<unique_local<void>> sids_;
  std::vector<unique_local<ACL>> acls_;
};

TEST_F(SecurityCalls, SidStringsRoundTripAndCompare) {
  PSID packages = sid("S-1-15-2-1");
  const BYTE encoded[] = {1, 2, 0, 0, 0, 0, 0, 15, 2, 0, 0, 0, 1, 0, 0, 0};
  ASSERT_EQ(GetLengthSid(packages), sizeof encoded);
  EXPECT_EQ(std::memcmp(packages, encoded, sizeof encoded), 0);
  LPWSTR text = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidW(sid(kApp), &text));
  EXPECT_EQ(from_wide_lossy(wide_view(text)), kApp);
  LocalFree(text);
  EXPECT_TRUE(EqualSid(sid(kApp), sid(kApp)));
  EXPECT_FALSE(EqualSid(sid(kApp), packages));
  PSID bad = nullptr;
  EXPECT_FALSE(ConvertStringSidToSidW(to_wide_nul("S-1-x").c_str(), &bad));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SID);
}

TEST_F(SecurityCalls, SetReplacesTheTrusteesAllowEntryAndRevokeKeepsItsDenyEntries) {
  PACL read =
      apply({record(0x1200A9, GRANT_ACCESS, 3, kApp), record(0x1200A9, GRANT_ACCESS, 0, kUsers)});
  EXPECT_EQ(entries_of(apply({record(0x1301BF, SET_ACCESS, 3, kApp)}, read)),
            std::string("(A;3;1301bf;") + kApp + ")(A;0;1200a9;" + kUsers + ")");
  PACL denied = apply({record(0x1201BF, DENY_ACCESS, 0, kApp)}, read);
  EXPECT_EQ(entries_of(apply({record(0, REVOKE_ACCESS, 3, kApp)}, denied)),
            std::string("(D;0;1201bf;") + kApp + ")(A;0;1200a9;" + kUsers + ")");
}

TEST_F(SecurityCalls, NoRecordsOnNoAclGiveNoAclAndABadTrusteeFails) {
  PACL out = reinterpret_cast<PACL>(this);
  EXPECT_EQ(SetEntriesInAclW(0, nullptr, nullptr, &out), ERROR_SUCCESS);
  EXPECT_EQ(out, nullptr);
  EXPLICIT_ACCESS_W bad = record(0x1200A9, GRANT_ACCESS, 0, kApp);
  bad.Trustee.TrusteeForm = TRUSTEE_BAD_FORM;
  SetLastError(1234);
  EXPECT_EQ(SetEntriesInAclW(1, &bad, nullptr, &out), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(GetLastError(), 1234u);  // the result is the return value
}

TEST_F(SecurityCalls, GrantMergesIntoTheSameEntryAndPlacesNewAllowsBeforeTheFirstAllow) {
  if (testing::running_under_wine()) GTEST_SKIP() << "Wine never merges masks";
  PACL first =
      apply({record(0x1201BF, DENY_ACCESS, 0, kOther), record(0x1200A9, GRANT_ACCESS, 3, kUsers)});
  PACL merged = apply(
      {record(0x100, GRANT_ACCESS, 3, kUsers), record(0x1200A9, GRANT_ACCESS, 0, kApp)}, first);
  EXPECT_EQ(entries_of(merged), std::string("(D;0;1201bf;") + kOther + ")(A;0;1200a9;" + kApp +
                                    ")(A;3;1201a9;" + kUsers + ")");
}

TEST_F(SecurityCalls, NewDenyEntriesGoFirstAndRepeatedDeniesAddNothing) {
  if (testing::running_under_wine())
    GTEST_SKIP() << "Wine neither puts new deny entries first nor merges repeated ones";
  PACL denied = apply({record(0x1201BF, DENY_ACCESS, 3, kApp)},
                      apply({record(0x1200A9, GRANT_ACCESS, 0, kUsers)}));
  PACL again = apply(
      {record(0x1201BF, DENY_ACCESS, 3, kApp), record(0x10000, DENY_ACCESS, 0, kOther)}, denied);
  EXPECT_EQ(entries_of(again), std::string("(D;0;10000;") + kOther + ")(D;3;1201bf;" + kApp +
                                   ")(A;0;1200a9;" + kUsers + ")");
}

TEST_F(SecurityCalls, DeleteAceRemovesOneEntry) {
  PACL acl = apply({record(0x1, GRANT_ACCESS, 0, kApp), record(0x2, GRANT_ACCESS, 0, kUsers),
                    record(0x4, GRANT_ACCESS, 0, kOther)});
  const std::string all = entries_of(acl);  // three "(...)" in the order the platform placed them
  const std::size_t first_end = all.find(')') + 1;
  const std::size_t second_end = all.find(')', first_end) + 1;
  ASSERT_TRUE(DeleteAce(acl, 1));
  EXPECT_EQ(entries_of(acl), all.substr(0, first_end) + all.substr(second_end));
  EXPECT_FALSE(DeleteAce(acl, 2));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  void* ace = nullptr;
  EXPECT_FALSE(GetAce(acl, 2, &ace));
}

TEST_F(SecurityCalls, AnAbsoluteDescriptorCarriesItsDacl) {
  PACL acl = apply({record(0x1200A9, SET_ACCESS, 0, kApp)});
  SECURITY_DESCRIPTOR sd{};
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
  BOOL present = FALSE;
  BOOL defaulted = TRUE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
  EXPECT_TRUE(present && dacl == acl && !defaulted);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(&sd, &control, &revision));
  EXPECT_EQ(control & (SE_DACL_PRESENT | SE_SELF_RELATIVE), SE_DACL_PRESENT);
  EXPECT_EQ(revision, SECURITY_DESCRIPTOR_REVISION);
  EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
}

TEST_F(SecurityCalls, FileSecurityReadsFollowTheSizeQueryProtocol) {
  testing::TempDir dir;
  dir.write("f.txt", "x");
  const WideString path = to_wide_nul(dir / "f.txt");
  DWORD needed = 0;
  EXPECT_FALSE(GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(
      GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, buffer.data(), needed, &needed));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(buffer.data(), &control, &revision));
  EXPECT_EQ(control & (SE_SELF_RELATIVE | SE_DACL_PRESENT), SE_SELF_RELATIVE | SE_DACL_PRESENT);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(buffer.data(), &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_GT(reinterpret_cast<BYTE*>(dacl), buffer.data());
  EXPECT_LT(reinterpret_cast<BYTE*>(dacl), buffer.data() + needed);

  needed = 0;
  EXPECT_FALSE(GetFileSecurityW(to_wide_nul(dir / "missing.txt").c_str(), DACL_SECURITY_INFORMATION,
                                nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(needed, 0u);
}

TEST_F(SecurityCalls, NamedReadsReturnTheErrorAndLeaveTheLastErrorAlone) {
  testing::TempDir dir;
  auto read = [&](const std::string& path, PACL* dacl, PSECURITY_DESCRIPTOR* sd) {
    return GetNamedSecurityInfoW(to_wide_nul(path).c_str(), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr, sd);
  };
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  SetLastError(1234);
  EXPECT_EQ(read(dir / "missing.txt", &dacl, &sd), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(read(dir / "no\\such.txt", &dacl, &sd), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(GetLastError(), 1234u);
  ASSERT_EQ(read(dir.path(), &dacl, &sd), ERROR_SUCCESS);
  unique_local<void> owner(sd);
  EXPECT_GT(reinterpret_cast<BYTE*>(dacl), static_cast<BYTE*>(sd));
}

}  // namespace
}  // namespace tavo
