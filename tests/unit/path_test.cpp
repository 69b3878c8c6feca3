// Paths as text. A drive letter is an ASCII letter, nothing next to one.
#include <gtest/gtest.h>

#include "acl/path_blocklist.h"
#include "path_grant/path_entries.h"
#include "win/path.h"

namespace tavo {
namespace {

TEST(WindowsPath, AParentStopsAtItsRoot) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"C:\\Users", "C:\\"},
      {"C:\\", std::nullopt},
      {"\\\\?\\C:\\Users", "\\\\?\\C:\\"},
      {"\\\\?\\C:\\a/b", "\\\\?\\C:\\"},  // only '\' separates in a verbatim path
      {"\\\\server\\share\\bin", "\\\\server\\share\\"},
      {"//server/share/bin", "//server/share/"},  // '/' separates the share's name too
      {"\\\\server\\share\\", std::nullopt},
      {"C:\\a\\b\\", "C:\\a"},
      {"C:\\a\\\\b", "C:\\a"},
      {"a", ""},
      {"a\\.", ""},  // "." counts only first
      {"", std::nullopt},
      {"C:a", "C:"},
      {"/usr/bin", "/usr"},
  };
  for (const auto& [path, parent] : cases)
    EXPECT_EQ(path::parent(path), parent) << path;
}

// (Extensions are the pool tests'.)
TEST(WindowsPath, AJoinTakesAnAbsoluteSecondName) {
  EXPECT_EQ(path::join("C:\\pool", "a.dat"), "C:\\pool\\a.dat");
  EXPECT_EQ(path::join("", "x"), "x");
  EXPECT_EQ(path::join("C:\\a", "D:\\b"), "D:\\b");
  EXPECT_EQ(path::join("z:", "x"), "z:x");
  for (const char* absolute :
       {"\\Tools", "\\\\server\\share\\bin", "/usr/bin", "\\\\?\\C:\\x", "A:\\x", "Z:\\x"})
    EXPECT_TRUE(path::is_absolute(absolute)) << absolute;
  for (const char* relative : {"C:", "C:bin", "bin", "[:\\x"})
    EXPECT_FALSE(path::is_absolute(relative)) << relative;
}

// Compared lower-cased in ASCII, with '\' separators, one prefix and no trailing separator.
TEST(SystemPaths, TheComparisonFormIsOneSpelling) {
  const std::pair<const char*, const char*> cases[] = {
      {"\\\\?\\C:\\Windows\\", "c:\\windows"},
      {"\\\\.\\C:/Program Files//", "c:\\program files"},
      {"\\\\?\\\\\\?\\x", "\\\\?\\x"},  // one prefix, at the start only
      {"/", "\\"},
      {"\\\\\\", "\\"},
      {"@AZ[`az{\xC3\x89", "@az[`az{\xC3\x89"},  // ASCII letters only
      {"", ""},
  };
  for (const auto& [path, normalized] : cases)
    EXPECT_EQ(normalize_for_compare(path), normalized) << path;
}

// Drive roots and the listed directories, with everything below them.
TEST(SystemPaths, AreJudgedOnTheTextAlone) {
  for (const char* path :
       {"C:\\Windows", "c:/windows/", "C:\\WINDOWS\\System32\\drivers", "\\\\?\\C:\\Windows\\Temp",
        "\\\\.\\C:\\Program Files\\App", "C:\\Program Files (x86)\\App", "C:\\ProgramData",
        "C:\\SysWOW64\\x", "A:", "a:\\", "z:", "d:/", "Z:\\\\//", "\\etc", "/usr/local/bin",
        "/proc/1"}) {
    EXPECT_TRUE(is_system_path(path)) << path;
  }
  // Only the text counts, and components match whole.
  for (const char* path :
       {"C:\\Windows.old", "C:\\Program Filesx", "/etcetera", "C:Windows", "D:\\Windows",
        "//?/C:/Windows", "\\\\?\\UNC\\server\\share", "C:\\\\Windows", "C:\\Temp\\..\\Windows",
        "C:\\PROGRA~1", "\\", "/usr2", "/", "@:", "[:\\", "{:"}) {
    EXPECT_FALSE(is_system_path(path)) << path;
  }
}

// The system-path test cannot judge these (\\localhost\C$\Windows is C:\Windows); \\?\C: can.
TEST(SystemPaths, OnlyDrivePathsCanBeJudged) {
  for (const char* path :
       {"\\\\localhost\\C$\\Windows", "//server/share", "\\\\?\\UNC\\server\\share\\x",
        "\\\\.\\PhysicalDrive0", "\\\\.\\C:\\work", "//?/GLOBALROOT/Device/HarddiskVolume1",
        "\\\\?\\Volume{0b2a3c4d}\\Windows", "C:\\Windows::$INDEX_ALLOCATION", "C:\\work\\f:ads",
        "\\\\?\\C:\\work\\f:ads", "work:ads", "[:x"}) {
    EXPECT_TRUE(names_share_device_or_stream(path)) << path;
  }
  for (const char* path : {"C:\\work\\f", "\\\\?\\C:\\work", "//?/c:", "C:ads", "c:/work",
                           "work\\f", "/tmp/x", "\\", ""}) {
    EXPECT_FALSE(names_share_device_or_stream(path)) << path;
  }
}

// One key for any case and trailing backslashes (ASCII is the PATH tests', the rest of
// lower-casing the Unicode tests').
TEST(PathDirectories, AKeyIsTheDirectoryLowerCased) {
  EXPECT_EQ(directory_string("\\\\"), "");
  EXPECT_EQ(directory_string("/usr/bin/"), "/usr/bin/");
  EXPECT_EQ(path_dir_key("C:\\X\\\xC3\x9C\\\\"), "c:\\x\\\xC3\xBC");
}

TEST(PathDirectories, OnlyARootedDirectoryIsGranted) {
  for (std::string_view rooted : {"\\\\server\\share\\bin", "c:/tools"})
    EXPECT_TRUE(is_rooted_directory(rooted)) << rooted;
  for (std::string_view relative : {"", ".", "bin", "..\\bin", "C:", "C:bin", "1:\\x", "CC:\\x"})
    EXPECT_FALSE(is_rooted_directory(relative)) << relative;
}

}  // namespace
}  // namespace tavo
