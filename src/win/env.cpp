#include "win/env.h"

#include "win/api.h"
#include "win/wide.h"

namespace tavo {

std::optional<std::string> env_var(std::string_view name) {
  const WideString wide_name = to_wide_nul(name);
  WideString value(256, WCHAR{});
  while (true) {
    // 0 is both "unset" and "empty": the last error tells them apart.
    SetLastError(ERROR_SUCCESS);
    const DWORD n =
        GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (GetLastError() != ERROR_SUCCESS) return std::nullopt;
      return std::string{};
    }
    if (n < value.size()) {
      value.resize(n);
      return from_wide(value);
    }
    value.resize(n);  // n is the size needed, terminating NUL included
  }
}

std::optional<std::string> env_directory(std::string_view name) {
  std::optional<std::string> value = env_var(name);
  if (!value || value->empty()) return std::nullopt;
  return value;
}

}  // namespace tavo
