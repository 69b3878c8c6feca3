#include "sid/sid_text.h"

#include <cstring>

#include "base/format.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {

std::expected<std::string, HresultError> sid_to_sddl(PSID sid) {
  unique_local<WCHAR> text;
  if (!ConvertSidToStringSidW(sid, text.put())) {
    return std::unexpected(HresultError::from_last_error());
  }
  if (!text)
    return std::unexpected(
        HresultError::program("ConvertSidToStringSidW returned NULL with no error"));
  std::optional<std::string> sddl = from_wide(wide_view(text.get()));
  if (!sddl) {
    return std::unexpected(HresultError(
        0, format("SDDL is not valid UTF-16: {}", "invalid utf-16: lone surrogate found")));
  }
  return *sddl;
}

// The SID structure: revision, sub-authority count, a 6-byte big-endian authority, then the
// sub-authorities as 32-bit little-endian numbers.
bool is_package_sid(PSID sid) {
  constexpr BYTE kPackageAuthority[6] = {0, 0, 0, 0, 0, 15};
  constexpr BYTE kPackageSubAuthorities = 8;
  const auto* bytes = static_cast<const BYTE*>(sid);
  if (bytes[1] != kPackageSubAuthorities) return false;
  if (std::memcmp(bytes + 2, kPackageAuthority, sizeof kPackageAuthority) != 0) return false;
  DWORD first = 0;
  std::memcpy(&first, bytes + 8, sizeof first);
  return first == 2;
}

}  // namespace tavo
