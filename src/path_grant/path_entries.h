// The pieces of the PATH scan that only look at text: splitting PATH, the directory string of an
// entry, its duplicate key, and whether it names a directory independently of where the
// registration happens to run.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavo {

// PATH split at every ';' ("" when PATH is unset or not Unicode, so at least one entry).
std::vector<std::string> path_entries();

// The entry with every trailing backslash removed.
std::string directory_string(std::string_view entry);

// The duplicate key: directory_string, fully lower-cased (Unicode).
std::string path_dir_key(std::string_view entry);

// False for a bare drive ("C:") and for a string that begins neither with a separator ('\' or
// '/') nor with a drive letter, a colon and a separator; true for rooted forms (\Tools,
// \\server\share\bin, /usr/bin, C:\Tools). Anything else resolves against a current directory.
bool is_rooted_directory(std::string_view directory);

}  // namespace tavo
