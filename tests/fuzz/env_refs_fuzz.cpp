// The expansion of %NAME% references in the credential denylist, given any pattern and any
// values of the variables it names, against a reference model: a reference to a variable that
// is unset, empty or not Unicode voids the pattern (as does %%); a value is inserted as it is and
// never scanned again; an unmatched '%' and what follows it stay. The table's own rows must
// expand the same way.
#include <stdlib.h>
#include <winsim/testing.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "finding.h"
#include "sandbox_profile/credential_denylist.h"

namespace tavo::fuzz {
namespace {

// Variables whose values the input sets; any other name keeps this process's value.
constexpr const char* kVariables[] = {"A", "B", "USERPROFILE", "APPDATA", "LOCALAPPDATA"};

std::optional<std::string> usable_value(const std::string& name) {
  if (name.empty() || name.find('=') != std::string::npos) return std::nullopt;
  const char* value = std::getenv(name.c_str());
  if (value == nullptr || *value == '\0' || !is_valid_utf8(value)) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> reference_expand(const std::string& pattern) {
  std::string out;
  std::size_t i = 0;
  while (i < pattern.size()) {
    if (pattern[i] != '%') {
      out += pattern[i++];
      continue;
    }
    const std::size_t close = pattern.find('%', i + 1);
    if (close == std::string::npos) return out + pattern.substr(i);
    std::optional<std::string> value = usable_value(pattern.substr(i + 1, close - i - 1));
    if (!value) return std::nullopt;
    out += *value;
    i = close + 1;
  }
  return out;
}

}  // namespace
}  // namespace tavo::fuzz

// Input: one value per variable of kVariables, then the pattern, NUL-separated. A value that
// begins with 0xFF leaves its variable unset.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavo::fuzz;
  winsim::reset();  // the call trace would grow with every input
  const std::vector<std::string> parts =
      split_bytes(std::string_view(reinterpret_cast<const char*>(data), size), '\0');
  const std::size_t count = std::size(kVariables);
  for (std::size_t v = 0; v < count; ++v) {
    if (v >= parts.size() || (!parts[v].empty() && parts[v][0] == '\xFF')) {
      ::unsetenv(kVariables[v]);
    } else {
      ::setenv(kVariables[v], parts[v].c_str(), 1);
    }
  }
  const std::string pattern = parts.size() > count ? parts[count] : "";
  // The table's patterns are UTF-8 text; so must a name be to be looked up at all.
  if (!tavo::is_valid_utf8(pattern)) return 0;
  if (tavo::expand_env_refs(pattern) != reference_expand(pattern)) {
    finding("a pattern expands as the model says", pattern);
  }
  std::vector<std::string> expected;
  for (const tavo::CredentialLocation& row : tavo::CREDENTIAL_DENYLIST) {
    if (auto path = reference_expand(std::string(row.pattern))) expected.push_back(*path);
  }
  if (tavo::credential_deny_paths() != expected)
    finding("the table's rows expand as the model says");
  return 0;
}
