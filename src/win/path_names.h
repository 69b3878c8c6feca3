// What the platform says a path names.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavo {

// The final path of an existing object, links followed, as the platform gives it (\\?\C:\...).
// Nothing when the object cannot be opened or the name cannot be had.
std::optional<std::string> final_path_name(std::string_view path);

// The absolute form of a path: against the current directory, "." and ".." resolved, separators
// collapsed. The object need not exist.
std::optional<std::string> full_path_name(std::string_view path);

// The path with short (8.3) components expanded when the platform can say so; otherwise the path
// as given. Never fails.
std::string to_long_path(std::string_view path);

}  // namespace tavo
