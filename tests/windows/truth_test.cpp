// What winsim assumes where no source settles the platform's behaviour, asked of the platform
// itself. Each test prints one report line, "truth: RULE | winsim: ANSWER | here: ANSWER", and
// on Windows fails when the answers differ: the rule of winsim/README.md to correct is named.
// Under Wine the lines are printed for comparison and nothing fails: Wine is not Windows.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "acl/acl.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/api.h"
#include "win/env.h"
#include "win/unique.h"
#include "win/wide.h"
#include "windows/child_process.h"

namespace tavo::windows_testing {
namespace {

constexpr const char* kSid = "S-1-15-2-1-2-3-4-5-6-7";

void report(const std::string& rule, const std::string& winsim, const std::string& here) {
  std::printf("truth: %s | winsim: %s | here: %s\n", rule.c_str(), winsim.c_str(), here.c_str());
  std::fflush(stdout);
  if (!testing::running_under_wine()) {
    EXPECT_EQ(here, winsim) << "winsim's rule is wrong: " << rule;
  }
}

unique_local<void> sid_of(const char* text) {
  PSID sid = nullptr;
  EXPECT_TRUE(ConvertStringSidToSidW(to_wide_nul(text).c_str(), &sid));
  return unique_local<void>(sid);
}

unique_local<ACL> with_entry(PSID sid, DWORD mask, ACCESS_MODE mode, DWORD inheritance, PACL base) {
  EXPLICIT_ACCESS_W record = explicit_access(sid, mask, mode, inheritance);
  PACL out = nullptr;
  EXPECT_EQ(SetEntriesInAclW(1, &record, base, &out), static_cast<DWORD>(ERROR_SUCCESS));
  return unique_local<ACL>(out);
}

// The SID's explicit entries of one type, and whether any entry is flagged inherited.
struct Census {
  int of_type = 0;
  int inherited = 0;
  DWORD first_mask = 0;
};
Census census(PACL acl, PSID sid, BYTE type) {
  Census c;
  for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* entry = nullptr;
    if (!GetAce(acl, i, reinterpret_cast<void**>(&entry))) continue;
    if ((entry->Header.AceFlags & INHERITED_ACE) != 0) ++c.inherited;
    if (entry->Header.AceType == type && EqualSid(&entry->SidStart, sid)) {
      if (c.of_type++ == 0) c.first_mask = entry->Mask;
    }
  }
  return c;
}

struct Dacl {
  unique_local<void> descriptor;
  PACL acl = nullptr;
};
Dacl read_named(const std::string& path) {
  Dacl d;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_EQ(
      GetNamedSecurityInfoW(to_wide_nul(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &d.acl, nullptr, &descriptor),
      static_cast<DWORD>(ERROR_SUCCESS));
  d.descriptor.reset(descriptor);
  return d;
}

bool is_protected(const Dacl& d) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(d.descriptor.get(), &control, &revision);
  return (control & SE_DACL_PROTECTED) != 0;
}

// Rules about stored file security cannot be asked of Wine, which keeps none.
bool no_file_security() {
  return testing::running_under_wine();
}

class Truth : public ::testing::Test {
 protected:
  testing::TempDir root;
  unique_local<void> sid = sid_of(kSid);
};

TEST_F(Truth, SetAccessKeepsTheTrusteesDenyEntries) {
  auto denied = with_entry(sid.get(), kDenyMask, DENY_ACCESS, 0, nullptr);
  auto set = with_entry(sid.get(), kReadMask, SET_ACCESS, 0, denied.get());
  const int left = census(set.get(), sid.get(), ACCESS_DENIED_ACE_TYPE).of_type;
  report("SetEntriesInAclW SET_ACCESS on a trustee with a deny entry", "the deny entry stays",
         left == 0 ? "the deny entry is dropped" : "the deny entry stays");
}

TEST_F(Truth, AProtectedWriteKeepsInheritedEntriesAsInherited) {
  if (no_file_security()) GTEST_SKIP() << "Wine keeps no file ACLs";
  root.make_dir("parent/child");
  const std::string child = root / "parent/child";
  Dacl before = read_named(child);
  ASSERT_GT(census(before.acl, sid.get(), 0).inherited, 0) << "the folder inherits nothing";
  ASSERT_EQ(SetNamedSecurityInfoW(to_wide_nul(child).data(), SE_FILE_OBJECT,
                                  PROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, before.acl, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
  const bool still_flagged = census(read_named(child).acl, sid.get(), 0).inherited > 0;
  report("a PROTECTED write of a DACL holding inherited entries",
         "they are kept, flagged inherited",
         still_flagged ? "they are kept, flagged inherited" : "they are kept as explicit entries");
}

TEST_F(Truth, SetFileSecurityTakesProtectionFromTheDescriptor) {
  if (no_file_security()) GTEST_SKIP() << "Wine keeps no file ACLs";
  root.make_dir("protected");
  const std::string folder = root / "protected";
  Dacl current = read_named(folder);
  ASSERT_EQ(SetNamedSecurityInfoW(to_wide_nul(folder).data(), SE_FILE_OBJECT,
                                  PROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, current.acl, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
  Dacl protected_dacl = read_named(folder);
  SECURITY_DESCRIPTOR absolute{};
  InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&absolute, TRUE, protected_dacl.acl, FALSE);
  ASSERT_TRUE(SetFileSecurityW(to_wide_nul(folder).c_str(), DACL_SECURITY_INFORMATION, &absolute));
  report("SetFileSecurityW with a descriptor lacking SE_DACL_PROTECTED on a protected folder",
         "the folder inherits again",
         is_protected(read_named(folder)) ? "the folder stays protected"
                                          : "the folder inherits again");
}

TEST_F(Truth, GenericRightsAreInheritedAsTheyAre) {
  if (no_file_security()) GTEST_SKIP() << "Wine keeps no file ACLs";
  root.make_dir("generic");
  const std::string folder = root / "generic";
  Dacl current = read_named(folder);
  auto updated = with_entry(sid.get(), GENERIC_ALL, GRANT_ACCESS,
                            OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, current.acl);
  ASSERT_EQ(
      SetNamedSecurityInfoW(to_wide_nul(folder).data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, updated.get(), nullptr),
      static_cast<DWORD>(ERROR_SUCCESS));
  root.write("generic/file.txt", "x");
  Dacl file = read_named(root / "generic/file.txt");
  DWORD mask = 0;
  for (DWORD i = 0; file.acl != nullptr && i < file.acl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* entry = nullptr;
    if (GetAce(file.acl, i, reinterpret_cast<void**>(&entry)) &&
        EqualSid(&entry->SidStart, sid.get()))
      mask |= entry->Mask;
  }
  report(
      "an inheritable entry with generic rights, as a new file inherits it",
      "the generic mask as it is",
      mask == GENERIC_ALL ? "the generic mask as it is" : "a mapped mask " + std::to_string(mask));
}

TEST_F(Truth, AHandleListHoldingOneHandleTwice) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  unique_handle nul(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(nul);
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<std::byte> storage(size);
  auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  ASSERT_TRUE(InitializeProcThreadAttributeList(list, 1, 0, &size));
  HANDLE twice[] = {nul.get(), nul.get()};
  ASSERT_TRUE(UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, twice,
                                        sizeof twice, nullptr, nullptr));
  STARTUPINFOEXW info{};
  info.StartupInfo.cb = sizeof info;
  info.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  info.StartupInfo.hStdInput = info.StartupInfo.hStdOutput = info.StartupInfo.hStdError = nul.get();
  info.lpAttributeList = list;
  WideString line = to_wide_nul("cmd.exe /c exit 0");
  PROCESS_INFORMATION started{};
  const BOOL created =
      CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, EXTENDED_STARTUPINFO_PRESENT,
                     nullptr, nullptr, &info.StartupInfo, &started);
  const DWORD error = created ? 0 : GetLastError();
  if (created) {
    WaitForSingleObject(started.hProcess, INFINITE);
    CloseHandle(started.hProcess);
    CloseHandle(started.hThread);
  }
  DeleteProcThreadAttributeList(list);
  report("CreateProcessW with one handle twice in PROC_THREAD_ATTRIBUTE_HANDLE_LIST",
         "fails with 87", created ? "succeeds" : "fails with " + std::to_string(error));
}

TEST_F(Truth, ProgramSearchLooksInTheCurrentDirectoryBeforePath) {
  if (no_file_security()) GTEST_SKIP() << "Wine's system programs are stubs";
  root.make_dir("current");
  root.make_dir("onpath");
  namespace fs = std::filesystem;
  const fs::path system = fs::path("C:\\Windows\\System32");
  fs::copy_file(system / "whoami.exe", fs::path(root / "current") / "tavo-probe.exe");
  fs::copy_file(system / "hostname.exe", fs::path(root / "onpath") / "tavo-probe.exe");
  const fs::path saved = fs::current_path();
  fs::current_path(fs::path(root / "current"));
  const std::string old_path = env_var("PATH").value_or("");
  SetEnvironmentVariableW(L"PATH", to_wide_nul(root / "onpath").c_str());
  const ChildOutcome o = run_child("tavo-probe");
  SetEnvironmentVariableW(L"PATH", to_wide_nul(old_path).c_str());
  fs::current_path(saved);
  const ChildOutcome whoami = run_child("whoami");
  report("CreateProcessW's search: the current directory before PATH",
         "the current directory's program runs",
         o.out == whoami.out ? "the current directory's program runs" : "PATH's program runs");
}

}  // namespace
}  // namespace tavo::windows_testing
