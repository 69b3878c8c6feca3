// Environment variables: the host process's environment, seen through UTF-16. A host value that
// is not UTF-8 reads back with lone surrogates, as a Windows value that is not Unicode would.
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  std::string key = narrow(name);
  if (DWORD error = enter("GetEnvironmentVariableW", key)) return fail(error, 0u);
  if (key.empty() || key.find('=') != std::string::npos) return fail(ERROR_ENVVAR_NOT_FOUND, 0u);
  const char* value = std::getenv(key.c_str());
  if (value == nullptr) return fail(ERROR_ENVVAR_NOT_FOUND, 0u);
  std::u16string wide = widen(value);
  const auto needed = static_cast<DWORD>(wide.size() + 1);
  if (buffer == nullptr || size < needed) return needed;  // the size needed, NUL included
  std::memcpy(buffer, wide.c_str(), needed * sizeof(WCHAR));
  // An empty value gives 0 with the last error left alone: callers tell it from a missing
  // variable by clearing the last error first.
  return needed - 1;
}

BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  std::string key = narrow(name);
  if (DWORD error = enter("SetEnvironmentVariableW", key)) return fail(error, FALSE);
  if (key.empty() || key.find('=') != std::string::npos)
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  int rc = value == nullptr ? ::unsetenv(key.c_str())
                            : ::setenv(key.c_str(), to_host(view(value)).c_str(), 1);
  if (rc != 0) return fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  return TRUE;
}

// The system folder is where Windows keeps it on the system drive; winsim has one machine with
// drive C: *(A)*.
UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  if (DWORD error = enter("GetSystemDirectoryW")) return fail(error, 0u);
  const std::u16string folder = u"C:\\Windows\\System32";
  const auto needed = static_cast<UINT>(folder.size() + 1);
  if (buffer == nullptr || size < needed) return needed;
  std::memcpy(buffer, folder.c_str(), needed * sizeof(WCHAR));
  return needed - 1;
}
