#include "acl/path_blocklist.h"

#include <gtest/gtest.h>

namespace tavo {
namespace {

TEST(SystemPaths, NormalizationDropsOnePrefixFoldsAsciiAndTrailingSeparators) {
  EXPECT_EQ(normalize_for_compare("\\\\?\\C:\\Windows\\"), "c:\\windows");
  EXPECT_EQ(normalize_for_compare("\\\\.\\C:/Program Files//"), "c:\\program files");
  EXPECT_EQ(normalize_for_compare("\\\\?\\\\\\?\\x"),
            "\\\\?\\x");  // only one prefix, only at the start
  EXPECT_EQ(normalize_for_compare("/"), "\\");
  EXPECT_EQ(normalize_for_compare("\\\\\\"), "\\");
  EXPECT_EQ(normalize_for_compare("C:\\\xC3\x89T\xC3\x89"),
            "c:\\\xC3\x89t\xC3\x89");  // non-ASCII kept
  EXPECT_EQ(normalize_for_compare(""), "");
}

TEST(SystemPaths, DriveRootsAndListedDirectoriesWithEverythingBelow) {
  for (const char* path : {"C:\\Windows", "c:/windows/", "C:\\WINDOWS\\System32\\drivers",
                           "C:\\Windows\\\\", "\\\\?\\C:\\Windows\\Temp",
                           "\\\\.\\C:\\Program Files\\App", "C:\\Program Files (x86)\\App"}) {
    EXPECT_TRUE(is_system_path(path)) << path;
  }
  for (const char* path :
       {"C:\\ProgramData", "C:\\System32", "C:\\SysWOW64\\x", "C:", "C:\\", "d:/", "Z:\\\\//"}) {
    EXPECT_TRUE(is_system_path(path)) << path;
  }
  for (const char* path : {"/etc/passwd", "\\etc", "/usr/local/bin", "/bin", "/sbin", "/lib",
                           "/boot", "/sys", "/proc/1"}) {
    EXPECT_TRUE(is_system_path(path)) << path;
  }
}

TEST(SystemPaths, OnlyTheTextCountsAndComponentsMustMatchWhole) {
  for (const char* path :
       {"C:\\Windows.old", "C:\\Program Filesx", "/etcetera", "C:Windows", "C:\\Users\\me",
        "D:\\Windows", "//?/C:/Windows", "\\\\?\\UNC\\server\\share", "C:\\\\Windows",
        "C:\\Temp\\..\\Windows", "Windows", "C:\\PROGRA~1", "\\", "", "/usr2", "/", "1:"}) {
    EXPECT_FALSE(is_system_path(path)) << path;
  }
}

// No folder grant is meant for a share, a device or a stream, and the system-path test cannot
// judge them (\\localhost\C$\Windows is C:\Windows). \\?\ before a drive is an ordinary path.
TEST(SystemPaths, SharesDevicesAndStreamsAreToldFromDrivePaths) {
  for (const char* path :
       {"\\\\localhost\\C$\\Windows", "//server/share", "\\\\?\\UNC\\server\\share\\x",
        "\\\\.\\PhysicalDrive0", "\\\\.\\C:\\work", "//?/GLOBALROOT/Device/HarddiskVolume1",
        "\\\\?\\Volume{0b2a3c4d}\\Windows", "C:\\Windows::$INDEX_ALLOCATION",
        "C:\\Windows:$I30:$INDEX_ALLOCATION", "C:\\work\\f:ads", "\\\\?\\C:\\work\\f:ads",
        "work:ads"}) {
    EXPECT_TRUE(names_share_device_or_stream(path)) << path;
  }
  for (const char* path : {"C:\\work\\f", "\\\\?\\C:\\work", "//?/c:", "C:ads", "c:/work",
                           "work\\f", "/tmp/x", "\\", ""}) {
    EXPECT_FALSE(names_share_device_or_stream(path)) << path;
  }
}

}  // namespace
}  // namespace tavo
