#include "sandbox_profile/credential_denylist.h"

#include "win/env.h"

namespace tavo {

std::optional<std::string> expand_env_refs(std::string_view pattern) {
  std::string out;
  std::size_t i = 0;
  while (i < pattern.size()) {
    const std::size_t open = pattern.find('%', i);
    if (open == std::string_view::npos) break;
    out.append(pattern.substr(i, open - i));
    const std::size_t close = pattern.find('%', open + 1);
    if (close == std::string_view::npos) {
      i = open;  // the rest, from this '%' on, is copied as it is
      break;
    }
    const std::string_view name = pattern.substr(open + 1, close - open - 1);
    if (name.empty()) return std::nullopt;
    std::optional<std::string> value = env_var(name);
    if (!value || value->empty()) return std::nullopt;
    out.append(*value);
    i = close + 1;
  }
  out.append(pattern.substr(i));
  return out;
}

std::vector<std::string> credential_deny_paths() {
  std::vector<std::string> paths;
  for (const CredentialLocation& location : CREDENTIAL_DENYLIST) {
    if (auto path = expand_env_refs(location.pattern)) paths.push_back(std::move(*path));
  }
  return paths;
}

}  // namespace tavo
