// Which object a handle stands on, in a form that outlives the handle and every name the object
// has: the volume's serial number and the object's ID on it. A name may come to lead elsewhere;
// an identity never does.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "win/api.h"
#include "win/error.h"
#include "win/unique.h"

namespace tavo {

struct FileIdentity {
  std::uint64_t volume = 0;
  std::array<std::uint8_t, 16> file{};  // the 128-bit file ID, in the platform's byte order

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The one text form of an identity, wherever one is written or shown: the volume's serial
// number in 16 hexadecimal digits, a colon and the file ID's 16 bytes in 32 (lower case).
std::string identity_text(const FileIdentity& identity);
// Reads that form back; nothing for any other text.
std::optional<FileIdentity> parse_identity(std::string_view text);

// The identity of the object `file` stands on.
std::expected<FileIdentity, HresultError> identity_of(HANDLE file);

// Opens the object with `identity` on the volume `hint` (a handle to anything on it) lies on,
// directories included, for `access`; a null handle with the last error when there is none.
unique_handle open_by_identity(HANDLE hint, const FileIdentity& identity, DWORD access);

}  // namespace tavo
