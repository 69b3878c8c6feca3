#include "sid/sid_text.h"

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

}  // namespace tavo
