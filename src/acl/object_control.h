// Who besides the trusted principals could change a file or folder: what a program must ask of a
// place before it trusts what it reads there.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "win/api.h"
#include "win/error.h"
#include "win/unique.h"

namespace tavo {

// The rights that let a holder change a file or a folder's entries, or take the object over:
// write data / add file, append data / add folder, delete child, delete, write DAC, write owner.
inline constexpr ACCESS_MASK kChangeRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;

inline constexpr std::string_view kSystemSid = "S-1-5-18";
inline constexpr std::string_view kAdministratorsSid = "S-1-5-32-544";

// Opens a file or folder, its final link not followed, for outside_control, with `more` access
// besides what the judging needs (GENERIC_READ to read a file judged through the same handle).
std::expected<unique_handle, IoError> open_to_judge(std::string_view path, DWORD more = 0);

// Why someone other than the `trusted` SIDs could change the object held open (with READ_CONTROL
// and FILE_READ_ATTRIBUTES, its final link not followed), worded to follow the object's name:
// "is a link", "is not owned by <owners> (owner S-1-...)", "lets S-1-... change it or its
// entries (rights 0x...)". Nothing when no one else can. Deny entries are not weighed: an allow
// entry for anyone else counts even where a deny would stop it first. `is_protected`, when given,
// learns whether the DACL is protected from inheritance.
std::expected<std::optional<std::string>, HresultError> outside_control(
    HANDLE object, std::span<const std::string_view> trusted, std::string_view owners,
    bool* is_protected = nullptr);

}  // namespace tavo
