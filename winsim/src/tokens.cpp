// The calling process's access token: who the caller is.
#include <cstring>

#include "internal.h"
#include "winsim/kernel.h"
#include "winsim/security.h"
#include "winsim/testing.h"

using namespace winsim::detail;

namespace {

// The token of this process: its user is the user the process runs as (caller_user),
// administrator or not (the administrators are a group of the token, not its user).
struct TokenObject final : HandleObject {
  std::string_view kind() const override { return "access token"; }
};

}  // namespace

BOOL OpenProcessToken(HANDLE process, DWORD /*access: not checked*/, HANDLE* token) {
  if (DWORD error = enter("OpenProcessToken")) return fail(error, FALSE);
  if (token == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  // Only GetCurrentProcess()'s pseudo handle is modelled.
  if (process != INVALID_HANDLE_VALUE) return fail(ERROR_NOT_SUPPORTED, FALSE);
  *token = add_handle(std::make_shared<TokenObject>(), Release::CloseHandle, "OpenProcessToken");
  return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* information,
                         DWORD length, DWORD* needed) {
  if (DWORD error = enter("GetTokenInformation")) return fail(error, FALSE);
  if (needed == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!find_handle_as<TokenObject>(token)) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (kind != TokenUser) return fail(ERROR_NOT_SUPPORTED, FALSE);
  const std::vector<BYTE> sid = *sid_from_string(caller_user());
  const DWORD size = static_cast<DWORD>(sizeof(TOKEN_USER) + sid.size());
  *needed = size;
  if (information == nullptr || length < size) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  auto* user = static_cast<TOKEN_USER*>(information);
  BYTE* stored = static_cast<BYTE*>(information) + sizeof(TOKEN_USER);
  std::memcpy(stored, sid.data(), sid.size());
  user->User.Sid = stored;
  user->User.Attributes = 0;
  return TRUE;
}
