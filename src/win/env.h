// Environment variables of this process.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavo {

// The variable's value as Unicode text: nothing when it is unset or its value is not valid
// Unicode. A variable set to the empty string gives "".
std::optional<std::string> env_var(std::string_view name);

// A variable that names a directory: nothing when it is unset, not Unicode, or empty. An empty
// base would turn every path built on it into one at the root of the current drive.
std::optional<std::string> env_directory(std::string_view name);

}  // namespace tavo
