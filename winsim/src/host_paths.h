// Host paths as the security model and the path-name calls need them: canonical (links
// resolved, absolute), their parents, the roots, and their Windows form.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace winsim::detail {

// The absolute form of a host path against the current directory, with "." and ".." resolved
// and repeated slashes collapsed; nothing on the file system is consulted.
std::string lexical_absolute(std::string_view host);
// The path with every link resolved (realpath); nothing with errno set when it does not exist.
std::optional<std::string> real_path(const std::string& host);
// The real path when the object exists, the lexical absolute path otherwise.
std::string canonical_path(const std::string& host);
// The canonical path of what `host` names without following a link in its last component: its
// directory resolved, its last component as it is. Nothing, with errno set, when the directory
// does not exist.
std::optional<std::string> path_itself(const std::string& host);

// The directory of a canonical path ("/a/b" -> "/a", "/a" -> "/").
std::string parent_directory(std::string_view canonical);
// True for "/" and for a mapped drive's root directory, in canonical form.
bool is_canonical_root(std::string_view canonical);
// True for C:\ProgramData in canonical form, which starts with a machine's default security.
bool is_program_data(std::string_view canonical);
// The root directory of the mapped drive a canonical path lies on; nothing outside the drives.
std::optional<std::string> drive_root_of(std::string_view canonical);
// The Windows form of a canonical path: "X:\..." below a mapped drive, otherwise the path as is.
// Unlike windows_form(), a WINSIM_ROOT reached through links is recognised.
std::optional<std::string> drive_form(std::string_view canonical);

}  // namespace winsim::detail
