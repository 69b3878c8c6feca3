// Text fields of the program's line-based records (journals, ledgers): a path may hold any
// character but the line feed that ends a record.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavo {

// '%', CR and LF written as %25, %0D and %0A.
std::string escaped(std::string_view text);
// The text back; nothing for a '%' followed by anything else.
std::optional<std::string> unescaped(std::string_view text);

}  // namespace tavo
