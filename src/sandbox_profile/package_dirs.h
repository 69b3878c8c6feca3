// The directories in the user's profile where package managers and toolchains keep caches and
// installed packages; sandboxed builds need to read and write them.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavo {

// Subdirectories of the directory one environment variable names.
struct UserPackageDirGroup {
  std::string_view base_variable;
  std::span<const std::string_view> subdirectories;
};

namespace package_dirs_detail {
inline constexpr std::string_view kUnderUserProfile[] = {
    ".m2", ".gradle", ".rustup", ".cargo", "go", ".gem", ".conda", ".nuget",
};
inline constexpr std::string_view kUnderLocalAppData[] = {
    "npm-cache", "pip\\cache", "go-build", "Yarn\\Cache", "pnpm-store",
};
inline constexpr std::string_view kUnderAppData[] = {"Python", "npm"};
}  // namespace package_dirs_detail

inline constexpr std::array<UserPackageDirGroup, 3> USER_PACKAGE_DIRS = {{
    {"USERPROFILE", package_dirs_detail::kUnderUserProfile},
    {"LOCALAPPDATA", package_dirs_detail::kUnderLocalAppData},
    {"APPDATA", package_dirs_detail::kUnderAppData},
}};

// "{base}\{subdirectory}" for every row that exists, in table order. A group whose variable is
// unset, empty or not Unicode is left out. Nothing is created.
std::vector<std::string> user_package_dirs();

}  // namespace tavo
