// The system-path guard: paths whose ACLs the program never changes.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tavo {

// Protected locations: these and everything below them. Every drive root is protected too.
inline constexpr std::array<std::string_view, 14> SYSTEM_PATHS = {"C:\\Windows",
                                                                  "C:\\Program Files",
                                                                  "C:\\Program Files (x86)",
                                                                  "C:\\ProgramData",
                                                                  "C:\\System32",
                                                                  "C:\\SysWOW64",
                                                                  "/etc",
                                                                  "/usr",
                                                                  "/bin",
                                                                  "/sbin",
                                                                  "/lib",
                                                                  "/boot",
                                                                  "/sys",
                                                                  "/proc"};

// The form both sides of a comparison take: without a leading \\?\ or \\.\, '/' as '\', ASCII
// letters in lower case, trailing separators removed (a lone '\' stays).
std::string normalize_for_compare(std::string_view path);

// True for a drive root and for an entry of SYSTEM_PATHS or anything below one, judged on the
// text alone: nothing is resolved, expanded or made absolute.
bool is_system_path(std::string_view path);

// True for a path on a share (\\server\share, \\?\UNC\...), in the device namespace (\\.\...,
// \\?\ followed by anything but a drive, such as \\?\GLOBALROOT\...) and for one that names a
// stream (a ':' after the drive's own: C:\Windows::$INDEX_ALLOCATION is C:\Windows itself).
// \\?\C:\... is an ordinary drive path. Judged on the text alone.
bool names_share_device_or_stream(std::string_view path);

// The guard the modes apply before changing an ACL: the path as typed, and the object it names
// once resolved (the final path of an existing object, links followed; otherwise the full path in
// its long form), must both pass is_system_path and names_share_device_or_stream. Catches
// C:\Temp\..\Windows, C:\\Windows, C:\PROGRA~1, a relative Windows typed in C:\, links into
// protected directories, \\localhost\C$\Windows and links to shares.
bool is_refused_path(std::string_view path);

// %LOCALAPPDATA%\Tavo, where the program keeps its own files for this user (the run journals);
// nothing when LOCALAPPDATA is unset or empty.
std::optional<std::string> own_files_dir();

// True for own_files_dir() and anything below it, compared with the path both as written and
// resolved: whoever may write there decides what a later run takes back.
bool is_own_files_path(std::string_view final_path);

// The guard for a path that is already final (as the platform names an open object: links
// followed, long names, nothing relative): the text checks of is_refused_path, without resolving
// the path again, and is_own_files_path.
bool is_refused_final_path(std::string_view final_path);

// Whether the program may make a folder in the existing folder with this final path: one that
// is_refused_final_path lets through, or a drive root. A new folder in a drive root changes
// nothing that exists, where a grant on the root would reach everything on the drive.
bool may_make_folder_in(std::string_view final_path);

// The object a path names: its final path when it exists, otherwise its full long path; the path
// unchanged when neither can be had.
std::string resolved_path(std::string_view path);

}  // namespace tavo
