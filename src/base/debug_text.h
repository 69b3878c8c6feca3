// Values written the way the program's debug log lines show them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavo {

// The text in double quotes, with backslashes and double quotes preceded by a backslash, tab,
// carriage return, line feed and NUL as \t, \r, \n and \0, and other control characters as
// \u{hex}.
std::string debug_quoted(std::string_view text);

// None, or Some("...") with the value as debug_quoted writes it.
std::string debug_optional(const std::optional<std::string>& value);

}  // namespace tavo
