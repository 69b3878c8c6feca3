// UTF-8 <-> UTF-16 at the platform boundary. WCHAR is wchar_t on Windows and char16_t in winsim,
// so no wide literal appears in the program: every wide string is made here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "win/api.h"

namespace tavo {

using WideString = std::basic_string<WCHAR>;
using WideView = std::basic_string_view<WCHAR>;

// The UTF-16 form of a UTF-8 string, NUL-terminated (c_str() is what platform calls take).
// Bytes that are not UTF-8 become U+FFFD.
WideString to_wide_nul(std::string_view utf8);

// Strict decoding: nothing when the text holds an unpaired surrogate.
std::optional<std::string> from_wide(WideView utf16);
// Lossy decoding: each unpaired surrogate becomes U+FFFD.
std::string from_wide_lossy(WideView utf16);

// The text of a NUL-terminated platform string (null gives an empty view).
WideView wide_view(const WCHAR* text);

}  // namespace tavo
