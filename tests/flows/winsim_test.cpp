// winsim's test facilities, which every other test leans on without asserting them (faults, the
// trace, accounting, die records, the state file), and the rules of its security model that the
// flows rely on without reaching every case of: what each entry's flags pass on, how generic
// rights are stored and inherited, what an object created with a DACL of its own inherits, and
// what a write through SetKernelObjectSecurity leaves.
#include <gtest/gtest.h>
#include <winsim/testing.h>
#include <winsim/userenv.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

#include "acl/acl.h"
#include "acl/dacl.h"
#include "support/env.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"
#include "win/file_identity.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

class WinsimFacilities : public testing::MachineTest {
 protected:
  testing::TempDir dir;
};

TEST_F(WinsimFacilities, FaultsFailExactlyTheChosenCallsAndTheTraceShowsThem) {
  dir.write("a.txt", "x");
  const WideString path = to_wide_nul(dir / "a.txt");
  auto attributes_fail = [&] {
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
  };
  winsim::fail_next_call("GetFileAttributesW", "a.txt", ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(attributes_fail() && GetLastError() == ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(attributes_fail());  // once only
  winsim::fail_call_number(2, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(attributes_fail());
  EXPECT_TRUE(attributes_fail() && GetLastError() == ERROR_ACCESS_DENIED);
  winsim::fail_every_call("DeleteFileW", "a.txt", ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(DeleteFileW(path.c_str()) || DeleteFileW(path.c_str()));
  winsim::clear_faults();
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  EXPECT_EQ(winsim::count_calls("GetFileAttributesW", "a.txt"), 4u);
  EXPECT_EQ(winsim::trace().back().key, dir / "a.txt");
}

TEST_F(WinsimFacilities, AccountingCatchesEveryHandleNotReleasedRight) {
  HLOCAL block = LocalAlloc(LPTR, 16);
  EXPECT_EQ(winsim::leaks().size(), 1u);
  LocalFree(block);
  EXPECT_TRUE(winsim::leaks().empty());
  LocalFree(block);  // twice
  PSID sid = nullptr;
  ASSERT_EQ(DeriveAppContainerSidFromAppContainerName(u"p", &sid), S_OK);
  LocalFree(sid);
  const std::vector<std::string> errors = winsim::release_errors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[1].find("must be released with FreeSid"), std::string::npos) << errors[1];
  winsim::reset();
}

// A die record ends the process at the n-th matching call, before the call does anything, and the
// killed call is the trace's last line.
TEST_F(WinsimFacilities, ADieRecordEndsTheProcessAtItsCall) {
  testing::ScopedEnv state("WINSIM_STATE", dir / "state");
  testing::ScopedEnv trace("WINSIM_TRACE", dir / "trace");
  EXPECT_EXIT(
      {
        winsim::reset();
        winsim::die_at_call("CreateDirectoryW", "made", 2);
        for (const char* name : {"made1", "other", "made2", "made3"})
          CreateDirectoryW(to_wide_nul(dir / name).c_str(), nullptr);
      },
      ::testing::KilledBySignal(SIGKILL), "");
  EXPECT_TRUE(dir.exists("made1") && dir.exists("other"));
  EXPECT_FALSE(dir.exists("made2") || dir.exists("made3"));
  EXPECT_NE(dir.read("state").find("fault\tCreateDirectoryW\tmade\tdie:2\n"), std::string::npos);
  EXPECT_TRUE(dir.read("trace").ends_with("CreateDirectoryW\t" + (dir / "made2") + "\n"));
}

// Other tools read and write the file: each kind of record is read by the next process, and
// written back grouped in a fixed order, aliases in S-1 form, one-shot faults left out and records
// of unknown kinds kept.
TEST_F(WinsimFacilities, TheStateFileCarriesTheMachineFromProcessToProcess) {
  dir.write("d/f.txt", "x");
  dir.write("keep.txt", "x");
  const std::string object = "object\t" + (dir / "d") + "\tD:P(A;OICI;0x1;;;";
  const std::string fault = "fault\tDeleteFileW\tkeep.txt\t32\n";
  dir.write("state", "winsim-state 1\nfuture\tkept as it is\n" + fault + object +
                         "BU)\nloopback\tS-1-15-2-9\t2\nprofile\tp\tS-1-15-2-9\n");
  testing::ScopedEnv state("WINSIM_STATE", dir / "state");
  winsim::reset();  // the next call loads the file
  EXPECT_EQ(winsim::profiles(), std::vector<std::string>{"p=S-1-15-2-9"});
  EXPECT_EQ(winsim::loopback_entries(),
            (std::vector<std::pair<std::string, DWORD>>{{"S-1-15-2-9", 2}}));
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/f.txt"), "D:(A;ID;0x1;;;S-1-5-32-545)");
  EXPECT_FALSE(DeleteFileW(to_wide_nul(dir / "keep.txt").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

  winsim::fail_next_call("GetFileAttributesW", "", 5);
  winsim::set_stored_sddl(dir / "d/f.txt", "D:(D;;0x1;;;S-1-15-2-9)");
  EXPECT_EQ(dir.read("state"), "winsim-state 1\nprofile\tp\tS-1-15-2-9\nloopback\tS-1-15-2-9\t2\n" +
                                   object + "S-1-5-32-545)\nobject\t" + (dir / "d/f.txt") +
                                   "\tD:(D;;0x1;;;S-1-15-2-9)\n" + fault +
                                   "future\tkept as it is\n");
  winsim::reset();
}

// A removed object takes its security with it, whichever way it goes: one made later under its
// name starts afresh, and the state file keeps nothing of it, so it does not grow with every file
// a program makes and removes.
TEST_F(WinsimFacilities, ARemovedObjectTakesItsRecordsWithIt) {
  testing::ScopedEnv state("WINSIM_STATE", dir / "state");
  winsim::reset();
  dir.make_dir("d");
  const std::function<bool(const std::string&)> removals[] = {
      [](const std::string& path) { return DeleteFileW(to_wide_nul(path).c_str()) != FALSE; },
      [](const std::string& path) {
        unique_handle file(CreateFileW(to_wide_nul(path).c_str(), DELETE, FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
        FILE_DISPOSITION_INFO info{TRUE};
        return SetFileInformationByHandle(file.get(), FileDispositionInfo, &info, sizeof info) !=
               FALSE;
      },
  };
  for (const auto& remove : removals) {
    dir.write("d/f.txt", "x");
    winsim::set_owner(dir / "d/f.txt", "S-1-5-32-544");
    winsim::set_stored_sddl(dir / "d/f.txt", "D:P(A;;0x1;;;BU)");
    ASSERT_TRUE(remove(dir / "d/f.txt"));
    dir.write("d/f.txt", "x");
    EXPECT_EQ(winsim::owner_sid(dir / "d/f.txt"), winsim::kUserSid);
    EXPECT_EQ(winsim::stored_sddl(dir / "d/f.txt"), "");
    ASSERT_TRUE(DeleteFileW(to_wide_nul(dir / "d/f.txt").c_str()));
  }
  winsim::set_stored_sddl(dir / "d", "D:P(A;;0x1;;;BU)");
  ASSERT_TRUE(RemoveDirectoryW(to_wide_nul(dir / "d").c_str()));
  dir.make_dir("d");
  EXPECT_EQ(winsim::stored_sddl(dir / "d"), "");
  EXPECT_EQ(dir.read("state").find(dir / "d"), std::string::npos) << dir.read("state");
  winsim::reset();
}

// The DACL of a descriptor written as SDDL; the descriptor owns it.
class SddlDacl {
 public:
  explicit SddlDacl(const std::string& sddl) {
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        to_wide_nul(sddl).c_str(), SDDL_REVISION_1, descriptor_.put(), nullptr));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    EXPECT_TRUE(GetSecurityDescriptorDacl(descriptor_.get(), &present, &dacl_, &defaulted));
  }
  PACL get() const { return dacl_; }

 private:
  unique_local<void> descriptor_;
  PACL dacl_ = nullptr;
};

class WinsimModel : public testing::MachineTest {
 protected:
  static unique_handle open_dir(const std::string& path) {
    return unique_handle(CreateFileW(to_wide_nul(path).c_str(), READ_CONTROL | WRITE_DAC, 0,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  }
  // An ACL granting S-1-15-2-9 read access, inherited by files and folders.
  static SddlDacl grant() { return SddlDacl("D:(A;OICI;0x1200a9;;;S-1-15-2-9)"); }

  testing::TempDir dir;
};

// OI reaches files, CI folders, both reach everything and NP only the next level; the object's
// own entries come first, then the nearest parent's; a protected object inherits nothing.
TEST_F(WinsimModel, InheritanceFollowsEachEntrysFlags) {
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
  winsim::set_stored_sddl(dir / "top/sub", "D:(D;OICI;0x20;;;S-1-15-2-5)");
  winsim::set_stored_sddl(dir / "top/sub/f.txt", "D:(A;;0x40;;;S-1-15-2-6)");
  winsim::set_stored_sddl(dir / "top/sub/closed.txt", "D:P");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/sub/f.txt"),
            "D:(A;;0x40;;;S-1-15-2-6)(D;ID;0x20;;;S-1-15-2-5)(A;ID;0x1;;;S-1-15-2-1)"
            "(A;ID;0x2;;;S-1-15-2-2)");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/sub/closed.txt"), "D:P");
}

// The control bits a reader of `path` gets with its DACL.
SECURITY_DESCRIPTOR_CONTROL control_of(const std::string& path) {
  unique_local<void> descriptor;
  EXPECT_EQ(
      GetNamedSecurityInfoW(to_wide_nul(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, nullptr, nullptr, descriptor.put()),
      ERROR_SUCCESS);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  EXPECT_TRUE(GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
  return control;
}

// Generic rights are stored as the file rights they stand for, except in an entry that only
// passes on; a copy that is effective where it arrives is mapped, and one passed on further keeps
// an inherit-only twin with the generic rights. A folder made with a DACL of its own has that
// DACL alone, in the next process too, until a write from above reaches it.
TEST_F(WinsimModel, GenericRightsAreMappedWhereTheyApplyAndAGivenDaclInheritsNothing) {
  testing::ScopedEnv state("WINSIM_STATE", dir / "state");
  winsim::reset();
  dir.write("top/sub/f.txt", "x");
  const SddlDacl acl("D:(A;OICIIO;GR;;;S-1-15-2-2)(A;OICI;GA;;;S-1-15-2-1)");
  const auto write_top = [&] {
    ASSERT_EQ(SetNamedSecurityInfoW(to_wide_nul(dir / "top").data(), SE_FILE_OBJECT, kProtectedDacl,
                                    nullptr, nullptr, acl.get(), nullptr),
              ERROR_SUCCESS);
  };
  write_top();
  EXPECT_EQ(winsim::stored_sddl(dir / "top"),
            "D:P(A;OICIIO;0x80000000;;;S-1-15-2-2)(A;OICI;0x1f01ff;;;S-1-15-2-1)");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/sub"),
            "D:(A;ID;0x120089;;;S-1-15-2-2)(A;OICIIOID;0x80000000;;;S-1-15-2-2)"
            "(A;OICIID;0x1f01ff;;;S-1-15-2-1)");
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/sub/f.txt"),
            "D:(A;ID;0x120089;;;S-1-15-2-2)(A;ID;0x1f01ff;;;S-1-15-2-1)");

  unique_local<void> given;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      to_wide_nul("D:(A;OICI;GA;;;S-1-15-2-3)").c_str(), SDDL_REVISION_1, given.put(), nullptr));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, given.get(), FALSE};
  ASSERT_TRUE(CreateDirectoryW(to_wide_nul(dir / "top/made").c_str(), &attributes));
  fresh_machine();  // as the next process finds it
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/made"), "D:(A;OICI;0x1f01ff;;;S-1-15-2-3)");
  EXPECT_EQ(control_of(dir / "top/made") & SE_DACL_AUTO_INHERITED, 0);
  write_top();
  EXPECT_EQ(winsim::dacl_sddl(dir / "top/made"),
            "D:(A;OICI;0x1f01ff;;;S-1-15-2-3)" + winsim::dacl_sddl(dir / "top/sub").substr(2));
  EXPECT_NE(control_of(dir / "top/made") & SE_DACL_AUTO_INHERITED, 0);
}

// SetKernelObjectSecurity writes one object: its children keep what it passed on before, in the
// next process too, until a write that propagates. The protection and the auto-inherited mark
// are the descriptor's, so a write that does not carry them over lets a protected folder inherit
// again and drops the mark, which the named calls set.
TEST_F(WinsimModel, AKernelObjectWriteChangesOneObjectAndTakesTheDescriptorsProtection) {
  testing::ScopedEnv state("WINSIM_STATE", dir / "state");
  winsim::reset();
  dir.write("d/f.txt", "x");
  dir.write("plain.txt", "x");
  winsim::set_stored_sddl(dir / "d", "D:P(A;OICI;0x1;;;BU)");
  const std::string before = winsim::dacl_sddl(dir / "d/f.txt");
  {
    const SddlDacl acl = grant();
    SECURITY_DESCRIPTOR sd{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl.get(), FALSE));
    ASSERT_TRUE(SetKernelObjectSecurity(open_dir(dir / "d").get(), DACL_SECURITY_INFORMATION, &sd));
  }
  EXPECT_EQ(winsim::stored_sddl(dir / "d"), "D:(A;OICI;0x1200a9;;;S-1-15-2-9)");
  EXPECT_EQ(control_of(dir / "d") & SE_DACL_AUTO_INHERITED, 0);  // the fresh descriptor's
  winsim::reset();                                               // as the next process finds it
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/f.txt"), before);
  ASSERT_EQ(SetSecurityInfo(open_dir(dir / "d").get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, grant().get(), nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/f.txt"),
            "D:(A;ID;0x1200a9;;;S-1-15-2-9)" + winsim::dacl_sddl(dir / "plain.txt").substr(2));
  EXPECT_NE(control_of(dir / "d") & SE_DACL_AUTO_INHERITED, 0);
}

// A handle with data access (here listing a folder) and without FILE_SHARE_DELETE keeps the
// object from being renamed or deleted, by name or through another handle, with 32; a handle
// with only READ_CONTROL takes no part, and closing the holder frees the object.
TEST_F(WinsimFacilities, AFolderHeldWithoutDeleteSharingCannotBeRenamedOrRemoved) {
  dir.make_dir("held");
  dir.write("held/f.txt", "x");
  const WideString held = to_wide_nul(dir / "held");
  const WideString aside = to_wide_nul(dir / "aside");
  const auto open = [&](DWORD access, DWORD share) {
    return unique_handle(CreateFileW(held.c_str(), access, share, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  };
  {
    unique_handle holder = open(FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(holder);
    EXPECT_FALSE(MoveFileExW(held.c_str(), aside.c_str(), 0));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(RemoveDirectoryW(held.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    unique_handle other = open(DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    FILE_DISPOSITION_INFO gone{TRUE};
    EXPECT_FALSE(SetFileInformationByHandle(other.get(), FileDispositionInfo, &gone, sizeof gone));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(dir.exists("held/f.txt"));  // a file inside is not held
    EXPECT_TRUE(DeleteFileW(to_wide_nul(dir / "held/f.txt").c_str()));
  }
  unique_handle reader = open(READ_CONTROL, FILE_SHARE_READ);
  unique_handle sharing = open(FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_DELETE);
  EXPECT_TRUE(MoveFileExW(held.c_str(), aside.c_str(), 0));
}

// A rename through the handle, relative to a folder's handle, replaces a link at the new name
// (never what it names) and carries the file's security; without ReplaceIfExists it fails.
TEST_F(WinsimFacilities, ARenameByHandleReplacesALinkAtTheNewName) {
  dir.make_dir("d");
  dir.write("target.txt", "theirs\n");
  std::filesystem::create_symlink(dir / "target.txt", dir / "d/name");
  winsim::set_stored_sddl(dir / "target.txt", "D:P(A;;0x1f01ff;;;S-1-5-32-545)");
  unique_handle folder(CreateFileW(to_wide_nul(dir / "d").c_str(), FILE_LIST_DIRECTORY,
                                   FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  unique_handle file(CreateFileW(to_wide_nul(dir / "d/new").c_str(), GENERIC_WRITE | DELETE, 0,
                                 nullptr, CREATE_NEW, 0, nullptr));
  ASSERT_TRUE(folder && file);
  winsim::set_stored_sddl(dir / "d/new", "D:P(A;;0x1f01ff;;;S-1-5-18)");
  std::vector<std::byte> record(sizeof(FILE_RENAME_INFO) + 4 * sizeof(WCHAR));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(record.data());
  rename->RootDirectory = folder.get();
  rename->FileNameLength = 4 * sizeof(WCHAR);
  std::memcpy(rename->FileName, u"name", 4 * sizeof(WCHAR));
  const auto size = static_cast<DWORD>(record.size());
  rename->ReplaceIfExists = FALSE;
  EXPECT_FALSE(SetFileInformationByHandle(file.get(), FileRenameInfo, rename, size));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  rename->ReplaceIfExists = TRUE;
  ASSERT_TRUE(SetFileInformationByHandle(file.get(), FileRenameInfo, rename, size));
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "d/name"));
  EXPECT_FALSE(dir.exists("d/new"));
  EXPECT_EQ(dir.read("target.txt"), "theirs\n");
  EXPECT_EQ(winsim::stored_sddl(dir / "target.txt"), "D:P(A;;0x1f01ff;;;S-1-5-32-545)");
  EXPECT_EQ(winsim::stored_sddl(dir / "d/name"), "D:P(A;;0x1f01ff;;;S-1-5-18)");
}

// An identity stays with its object through a rename, and opens it again from any handle on its
// volume; once the object is removed nothing opens by it, not the object that takes its name.
TEST_F(WinsimModel, AnIdentityNamesItsObjectUntilItIsGone) {
  dir.make_dir("d");
  // Outside the drives, the tree below the hint is the volume searched.
  const unique_handle hint = open_dir(dir.path());
  auto identity = identity_of(open_dir(dir / "d").get());
  ASSERT_TRUE(identity);
  ASSERT_TRUE(MoveFileExW(to_wide_nul(dir / "d").c_str(), to_wide_nul(dir / "moved").c_str(), 0));
  dir.make_dir("d");
  {
    const unique_handle found = open_by_identity(hint.get(), *identity, READ_CONTROL);
    ASSERT_TRUE(found) << GetLastError();
    EXPECT_EQ(identity_of(found.get()), identity);
    EXPECT_EQ(identity_of(open_dir(dir / "moved").get()), identity);
  }
  ASSERT_TRUE(RemoveDirectoryW(to_wide_nul(dir / "moved").c_str()));
  dir.make_dir("moved");  // may well get the freed inode number
  EXPECT_FALSE(open_by_identity(hint.get(), *identity, READ_CONTROL));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
}

// An unprivileged caller may change the DACL or owner of an object it does not own only where
// the object's protected DACL grants the right, and a deny of WRITE_DAC or WRITE_OWNER takes it
// away whatever an allow entry gives.
TEST_F(WinsimModel, ADenyOfWriteDacOrWriteOwnerRefusesThoseRights) {
  testing::ScopedEnv unprivileged("WINSIM_ADMIN", "0");
  dir.make_dir("d");
  winsim::set_owner(dir / "d", "S-1-5-18");
  const std::string user(winsim::kUserSid);
  auto opens = [&](DWORD access) {
    return unique_handle(CreateFileW(to_wide_nul(dir / "d").c_str(), access, 0, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr))
        .
        operator bool();
  };
  winsim::set_stored_sddl(dir / "d", "D:P(A;;0x1f01ff;;;" + user + ")");
  EXPECT_TRUE(opens(WRITE_DAC | WRITE_OWNER));
  // The deny that left WRITE_DAC and WRITE_OWNER to what was inherited, then one that does not.
  winsim::set_stored_sddl(dir / "d", "D:P(D;;0x1201bf;;;" + user + ")(A;;0x1f01ff;;;" + user + ")");
  EXPECT_TRUE(opens(WRITE_DAC | WRITE_OWNER));
  winsim::set_stored_sddl(dir / "d", "D:P(D;;0x80000;;;" + user + ")(A;;0x1f01ff;;;" + user + ")");
  EXPECT_TRUE(opens(WRITE_DAC));
  EXPECT_FALSE(opens(WRITE_OWNER));
  winsim::set_stored_sddl(dir / "d", "D:P(D;;0x1f01ff;;;" + user + ")(A;;0x1f01ff;;;" + user + ")");
  EXPECT_FALSE(opens(WRITE_DAC));
  winsim::set_owner(dir / "d", user);  // the owner's implicit right no entry takes away
  EXPECT_TRUE(opens(WRITE_DAC));
}

// A move by name over a link replaces the link: what it named keeps its bytes.
TEST_F(WinsimFacilities, AMoveOverALinkReplacesTheLink) {
  dir.write("target.txt", "theirs\n");
  dir.write("new.txt", "ours\n");
  std::filesystem::create_symlink(dir / "target.txt", dir / "name");
  const WideString from = to_wide_nul(dir / "new.txt");
  const WideString to = to_wide_nul(dir / "name");
  EXPECT_FALSE(MoveFileExW(from.c_str(), to.c_str(), 0));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "name"));
  EXPECT_EQ(dir.read("name"), "ours\n");
  EXPECT_EQ(dir.read("target.txt"), "theirs\n");
}

}  // namespace
}  // namespace tavo
