// winsim's owners, creation descriptors, explicit DACLs and links: who owns what a call makes,
// what a protected DACL lets an unprivileged caller do, what the system's default for
// C:\ProgramData hands a folder its user makes there, and a link opened and removed itself.
#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <filesystem>

#include "flows/drives.h"
#include "support/env.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

class WinsimOwners : public testing::MachineTest {
 protected:
  // A self-relative descriptor from its string form; empty when refused.
  static unique_local<void> descriptor(std::string_view sddl) {
    unique_local<void> made;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(to_wide_nul(sddl).c_str(), SDDL_REVISION_1,
                                                         made.put(), nullptr);
    return made;
  }
  static bool make_dir(const std::string& path, void* sd = nullptr) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, sd, FALSE};
    return CreateDirectoryW(to_wide_nul(path).c_str(), &attributes);
  }
  static unique_handle make_file(const std::string& path, void* sd = nullptr) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, sd, FALSE};
    return unique_handle(CreateFileW(to_wide_nul(path).c_str(), GENERIC_WRITE, 0, &attributes,
                                     CREATE_NEW, 0, nullptr));
  }
  static unique_handle open(const std::string& path, DWORD access, DWORD flags = 0) {
    return unique_handle(
        CreateFileW(to_wide_nul(path).c_str(), access, 0, nullptr, OPEN_EXISTING, flags, nullptr));
  }
  static std::string sid_text(PSID sid) {
    unique_local<WCHAR> text;
    return ConvertSidToStringSidW(sid, text.put()) ? from_wide_lossy(wide_view(text.get())) : "";
  }
  static DWORD set_owner(const std::string& path, std::string_view sid) {
    SandboxSid owner = testing::make_sid(sid);
    return SetNamedSecurityInfoW(const_cast<LPWSTR>(to_wide_nul(path).c_str()), SE_FILE_OBJECT,
                                 OWNER_SECURITY_INFORMATION, owner.get(), nullptr, nullptr,
                                 nullptr);
  }

  testing::TempDir dir;
};

// A descriptor given at creation decides the new object's owner and DACL, and a protected DACL
// is taken at its word for an unprivileged caller, where an ordinary folder stays open to it.
TEST_F(WinsimOwners, ADescriptorGivenAtCreationDecidesOwnerAndAccess) {
  unique_local<void> locked =
      descriptor("O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)");
  ASSERT_TRUE(locked);
  ASSERT_TRUE(make_dir(dir / "locked", locked.get()));
  ASSERT_TRUE(make_dir(dir / "open"));
  EXPECT_EQ(winsim::dacl_sddl(dir / "locked"),
            "D:P(A;OICI;0x1f01ff;;;S-1-5-18)(A;OICI;0x1f01ff;;;S-1-5-32-544)"
            "(A;OICI;0x1200a9;;;S-1-5-32-545)");
  EXPECT_EQ(winsim::owner_sid(dir / "open"), "S-1-5-32-544");  // an administrator's making
  PSID owner = nullptr;
  unique_local<void> read;
  ASSERT_EQ(GetNamedSecurityInfoW(to_wide_nul(dir / "locked").c_str(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                                  read.put()),
            ERROR_SUCCESS);
  EXPECT_EQ(sid_text(owner), "S-1-5-18");
  PSID in_descriptor = nullptr;
  BOOL defaulted = TRUE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(read.get(), &in_descriptor, &defaulted));
  EXPECT_EQ(in_descriptor, owner);
  EXPECT_FALSE(descriptor("D:(A;;FA;;;SY)S:(AU;;FA;;;WD)"));  // a SACL is not modelled
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  testing::ScopedEnv unprivileged("WINSIM_ADMIN", "0");
  EXPECT_FALSE(make_dir(dir / "locked/sub"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(make_file(dir / "locked/f.txt"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(make_dir(dir / "open/sub"));
  EXPECT_EQ(winsim::owner_sid(dir / "open/sub"), winsim::kUserSid);
  // A user names no one else the owner of what it makes, and nothing is made.
  EXPECT_FALSE(make_dir(dir / "open/theirs", descriptor("O:BAD:").get()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_OWNER);
  EXPECT_FALSE(dir.exists("open/theirs"));
}

TEST_F(WinsimOwners, OwnersAreSetReadAndCarriedByARename) {
  // A file made with a descriptor and renamed over another keeps its owner and DACL; what the
  // replaced file had goes with it.
  dir.write("record", "old");
  winsim::set_stored_sddl(dir / "record", "D:(A;;FA;;;BU)");
  ASSERT_TRUE(make_file(dir / "record.tmp", descriptor("O:SYD:P(A;;FA;;;SY)").get()));
  ASSERT_TRUE(MoveFileExW(to_wide_nul(dir / "record.tmp").c_str(),
                          to_wide_nul(dir / "record").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(winsim::stored_sddl(dir / "record"), "D:P(A;;0x1f01ff;;;S-1-5-18)");
  EXPECT_EQ(winsim::owner_sid(dir / "record"), "S-1-5-18");

  dir.write("f.txt", "x");
  EXPECT_EQ(winsim::owner_sid(dir / "f.txt"), winsim::kUserSid);  // the host's files are the user's
  ASSERT_EQ(set_owner(dir / "f.txt", "BA"), ERROR_SUCCESS);
  unique_handle reader = open(dir / "f.txt", READ_CONTROL);
  PSID owner = nullptr;
  unique_local<void> read;
  ASSERT_EQ(GetSecurityInfo(reader.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, nullptr, nullptr, read.put()),
            ERROR_SUCCESS);
  EXPECT_EQ(sid_text(owner), "S-1-5-32-544");

  // A user may make itself the owner, of its own objects only, and no one else.
  testing::ScopedEnv unprivileged("WINSIM_ADMIN", "0");
  dir.write("mine.txt", "x");
  EXPECT_EQ(set_owner(dir / "mine.txt", "BA"), ERROR_INVALID_OWNER);
  EXPECT_EQ(winsim::owner_sid(dir / "mine.txt"), winsim::kUserSid);
  EXPECT_EQ(set_owner(dir / "f.txt", winsim::kUserSid), ERROR_ACCESS_DENIED);
  SandboxSid user = testing::make_sid(winsim::kUserSid);
  EXPECT_EQ(SetSecurityInfo(reader.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, user.get(),
                            nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);  // no WRITE_OWNER on the handle
}

// The system's default for C:\ProgramData lets Users make folders there, and CREATOR OWNER gives
// whoever makes one full control of it and of what is made in it.
TEST_F(WinsimOwners, AFolderAUserMakesInProgramDataIsItsOwn) {
  testing::Drives drives;
  drives.make_dirs({"C:\\ProgramData"});
  EXPECT_EQ(winsim::owner_sid("C:\\ProgramData"), "S-1-5-18");
  testing::ScopedEnv unprivileged("WINSIM_ADMIN", "0");
  ASSERT_TRUE(make_dir("C:\\ProgramData\\Tavo"));
  ASSERT_TRUE(make_file("C:\\ProgramData\\Tavo\\f.txt"));
  const std::string user(winsim::kUserSid);
  EXPECT_EQ(winsim::owner_sid("C:\\ProgramData\\Tavo"), user);
  const std::string system_admins_users =
      "(A;OICIID;0x1f01ff;;;S-1-5-18)(A;OICIID;0x1f01ff;;;S-1-5-32-544)"
      "(A;OICIID;0x1200a9;;;S-1-5-32-545)";
  EXPECT_EQ(winsim::dacl_sddl("C:\\ProgramData\\Tavo"),
            "D:(A;ID;0x1f01ff;;;" + user + ")(A;OICIIOID;0x10000000;;;S-1-3-0)" +
                system_admins_users + "(A;CIID;0x116;;;S-1-5-32-545)");
  EXPECT_EQ(winsim::dacl_sddl("C:\\ProgramData\\Tavo\\f.txt"),
            "D:(A;ID;0x1f01ff;;;" + user +
                ")(A;ID;0x1f01ff;;;S-1-5-18)(A;ID;0x1f01ff;;;S-1-5-32-544)"
                "(A;ID;0x1200a9;;;S-1-5-32-545)");
}

TEST_F(WinsimOwners, ALinkOpenedItselfIsAReparsePointAndGoesAloneThroughItsHandle) {
  dir.write("target.txt", "kept");
  dir.write("full/f.txt", "x");
  std::filesystem::create_symlink(dir / "target.txt", dir / "link");
  std::filesystem::create_directory_symlink(dir / "full", dir / "dlink");
  EXPECT_EQ(GetFileAttributesW(to_wide_nul(dir / "dlink").c_str()),
            FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
  FILE_DISPOSITION_INFO remove{TRUE};
  auto remove_through = [&](const unique_handle& handle) {
    return SetFileInformationByHandle(handle.get(), FileDispositionInfo, &remove, sizeof remove);
  };

  unique_handle link =
      open(dir / "link", DELETE | FILE_READ_ATTRIBUTES, FILE_FLAG_OPEN_REPARSE_POINT);
  ASSERT_TRUE(link);
  BY_HANDLE_FILE_INFORMATION info{};
  ASSERT_TRUE(GetFileInformationByHandle(link.get(), &info));
  EXPECT_EQ(info.dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT);
  ASSERT_TRUE(remove_through(link));
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "link"));
  EXPECT_EQ(dir.read("target.txt"), "kept");

  // Without DELETE, or on a directory that is not empty, nothing goes.
  EXPECT_FALSE(remove_through(open(dir / "target.txt", GENERIC_READ)));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  unique_handle full = open(dir / "full", DELETE, FILE_FLAG_BACKUP_SEMANTICS);
  EXPECT_FALSE(remove_through(full));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(SetFileInformationByHandle(full.get(), FileBasicInfo, &remove, sizeof remove));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // A file goes under the name it has now; what took its old name stays.
  unique_handle file = open(dir / "target.txt", DELETE);
  std::filesystem::rename(dir / "target.txt", dir / "renamed.txt");
  dir.write("target.txt", "new");
  ASSERT_TRUE(remove_through(file));
  EXPECT_FALSE(dir.exists("renamed.txt"));
  EXPECT_EQ(dir.read("target.txt"), "new");
  EXPECT_EQ(winsim::trace().back().key, dir / "target.txt");
}

}  // namespace
}  // namespace tavo
