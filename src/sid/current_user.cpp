#include "sid/current_user.h"

#include <vector>

#include "sid/sid_text.h"
#include "win/api.h"
#include "win/unique.h"

namespace tavo {

std::expected<std::string, HresultError> current_user_sid() {
  unique_handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
    return std::unexpected(HresultError::from_last_error());
  DWORD needed = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &needed);
  if (needed < sizeof(TOKEN_USER)) return std::unexpected(HresultError::from_last_error());
  // TOKEN_USER holds a pointer into the same buffer: it must be aligned for one.
  std::vector<TOKEN_USER> buffer((needed + sizeof(TOKEN_USER) - 1) / sizeof(TOKEN_USER));
  const auto length = static_cast<DWORD>(buffer.size() * sizeof(TOKEN_USER));
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), length, &needed))
    return std::unexpected(HresultError::from_last_error());
  return sid_to_sddl(buffer.front().User.Sid);
}

}  // namespace tavo
