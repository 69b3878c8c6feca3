// The expansion of %NAME% references in the credential denylist, given any pattern and any
// values of the variables it names, against a reference model: a reference to a variable that
// is unset, empty or not Unicode voids the pattern (as does %%); a value is inserted as it is and
// never scanned again; an unmatched '%' and what follows it stay. The table's own rows must
// expand the same way.
#include <stdlib.h>
#include <winsim/testing.h>

#include <optional>

#include "base/text.h"
#include "fuzz.h"
#include "sandbox_profile/credential_denylist.h"

namespace {

// Variables whose values the input sets; any other name keeps this process's value.
const char* const kVariables[] = {"A", "B", "USERPROFILE", "APPDATA", "LOCALAPPDATA"};

std::optional<std::string> reference_expand(const std::string& pattern) {
  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::size_t close = pattern[i] == '%' ? pattern.find('%', i + 1) : std::string::npos;
    if (close == std::string::npos) {  // not a reference
      out += pattern[i];
      continue;
    }
    const std::string name = pattern.substr(i + 1, close - i - 1);
    const char* value = name.find('=') == std::string::npos ? std::getenv(name.c_str()) : nullptr;
    if (name.empty() || value == nullptr || *value == '\0' || !tavo::is_valid_utf8(value))
      return std::nullopt;
    out += value;
    i = close;
  }
  return out;
}

}  // namespace

// Input: one value per variable of kVariables, then the pattern, NUL-separated. A value that
// begins with 0xFF leaves its variable unset.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  winsim::reset();  // the call trace would grow with every input
  const std::vector<std::string> parts =
      tavo::fuzz::split(std::string_view(reinterpret_cast<const char*>(data), size), '\0');
  const std::size_t count = std::size(kVariables);
  for (std::size_t v = 0; v < count; ++v) {
    if (v >= parts.size() || parts[v].starts_with('\xFF')) {
      ::unsetenv(kVariables[v]);
    } else {
      ::setenv(kVariables[v], parts[v].c_str(), 1);
    }
  }
  const std::string pattern = parts.size() > count ? parts[count] : "";
  // The table's patterns are UTF-8 text; so must a name be to be looked up at all.
  if (!tavo::is_valid_utf8(pattern)) return 0;
  if (tavo::expand_env_refs(pattern) != reference_expand(pattern)) {
    tavo::fuzz::finding("a pattern expands as the model says", pattern);
  }
  std::vector<std::string> expected;
  for (const tavo::CredentialLocation& row : tavo::CREDENTIAL_DENYLIST) {
    if (auto path = reference_expand(std::string(row.pattern))) expected.push_back(*path);
  }
  if (tavo::credential_deny_paths() != expected) {
    tavo::fuzz::finding("the table's rows expand as the model says");
  }
  return 0;
}
