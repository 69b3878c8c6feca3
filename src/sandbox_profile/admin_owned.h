// What the registrations keep for unprivileged runs belongs to the administrators: the folders
// and files they make are born owned by Administrators with a DACL of their own, and what a run
// is about to trust can be asked whether anyone else could have changed it.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "acl/object_control.h"
#include "win/api.h"
#include "win/error.h"
#include "win/security_descriptor.h"
#include "win/unique.h"

namespace tavo {

// Owner Administrators; SYSTEM and Administrators full control, Users read and execute, for the
// folder and everything below it; nothing inherited from above.
inline constexpr std::string_view kAdminDirectorySddl =
    "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// Owner Administrators; SYSTEM and Administrators full control, Users read; nothing inherited.
inline constexpr std::string_view kAdminFileSddl = "O:BAD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)";

// Whether a registration may make one of its folders in the existing folder with this final
// path: where may_make_folder_in allows it, and at or below where %PROGRAMDATA% leads, which the
// guard counts as a system location but where the pool and SID files are kept.
bool may_make_admin_folder_in(std::string_view final_path);

// Why someone other than SYSTEM and the Administrators could change the object held open (with
// READ_CONTROL and FILE_READ_ATTRIBUTES, its final link not followed), worded to follow the
// object's name: "is a link", "is not owned by Administrators (owner S-1-...)", "lets S-1-...
// change it or its entries (rights 0x...)". Nothing when no one else can. Deny entries are not
// weighed: an allow entry for anyone else counts even where a deny would stop it first.
std::expected<std::optional<std::string>, HresultError> non_admin_control(HANDLE object);

// Puts `content` and one line feed at `path` as the administrators' file, making missing
// folders above it as theirs too. The folder is held open while a new file is written beside the
// old one and renamed over it (fs::replace_file_in): a link or a hard link at `path` is replaced,
// never written through; a folder that is a link, or that a link on the way turns into a system
// location, is refused; a folder others can change is warned about. A SID file is
// write_text_file(path, sddl).
std::expected<void, HresultError> write_text_file(std::string_view path, std::string_view content);

}  // namespace tavo
