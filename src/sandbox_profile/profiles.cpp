#include "sandbox_profile/profiles.h"

#include <optional>
#include <utility>

#include "win/system_function.h"
#include "win/wide.h"

namespace tavo {
namespace {

using CreateProfile = HRESULT(WINAPI*)(PCWSTR, PCWSTR, PCWSTR, PSID_AND_ATTRIBUTES, DWORD, PSID*);
using DeriveSid = HRESULT(WINAPI*)(PCWSTR, PSID*);
using DeleteProfile = HRESULT(WINAPI*)(PCWSTR);

struct ProfileFunctions {
  CreateProfile create;
  DeriveSid derive;
  DeleteProfile remove;
};

std::optional<ProfileFunctions>& resolved() {
  static std::optional<ProfileFunctions> functions;
  return functions;
}

// Looked up together: the program needs all three or none.
std::expected<ProfileFunctions, HresultError> profile_functions() {
  if (resolved()) return *resolved();
  auto create = system_function_as<CreateProfile>("userenv.dll", "CreateAppContainerProfile");
  if (!create) return std::unexpected(HresultError::from_win32(create.error()));
  auto derive =
      system_function_as<DeriveSid>("userenv.dll", "DeriveAppContainerSidFromAppContainerName");
  if (!derive) return std::unexpected(HresultError::from_win32(derive.error()));
  auto remove = system_function_as<DeleteProfile>("userenv.dll", "DeleteAppContainerProfile");
  if (!remove) return std::unexpected(HresultError::from_win32(remove.error()));
  resolved() = ProfileFunctions{*create, *derive, *remove};
  return *resolved();
}

}  // namespace

void forget_profile_functions() {
  resolved().reset();
}

std::expected<SandboxSid, HresultError> ensure_profile(std::string_view name) {
  auto functions = profile_functions();
  if (!functions) return std::unexpected(functions.error());
  const WideString wide = to_wide_nul(name);
  unique_sid sid;
  const HRESULT hr =
      functions->create(wide.c_str(), wide.c_str(), wide.c_str(), nullptr, 0, sid.put());
  if (SUCCEEDED(hr)) return SandboxSid(std::move(sid));
  if (hr == HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)) return derive_sid(name);
  return std::unexpected(HresultError::from_hresult(hr));
}

std::expected<SandboxSid, HresultError> derive_sid(std::string_view name) {
  auto functions = profile_functions();
  if (!functions) return std::unexpected(functions.error());
  unique_sid sid;
  const HRESULT hr = functions->derive(to_wide_nul(name).c_str(), sid.put());
  if (FAILED(hr)) return std::unexpected(HresultError::from_hresult(hr));
  return SandboxSid(std::move(sid));
}

std::expected<void, HresultError> delete_profile(std::string_view name) {
  auto functions = profile_functions();
  if (!functions) return std::unexpected(functions.error());
  const HRESULT hr = functions->remove(to_wide_nul(name).c_str());
  if (FAILED(hr)) return std::unexpected(HresultError::from_hresult(hr));
  return {};
}

}  // namespace tavo
