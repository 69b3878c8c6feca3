// Environment variables of this process.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavo {

// The variable's value as Unicode text: nothing when it is unset or its value is not valid
// Unicode. A variable set to the empty string gives "".
std::optional<std::string> env_var(std::string_view name);

}  // namespace tavo
