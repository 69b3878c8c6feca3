#include "win/system_function.h"

#include "win/error.h"
#include "win/wide.h"

namespace tavo {

std::expected<FARPROC, DWORD> system_function(std::string_view dll, const char* name) {
  // Only the system directory is searched, so no DLL planted beside the program is picked up.
  // The module stays loaded for the life of the process.
  HMODULE module = LoadLibraryExW(to_wide_nul(dll).c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return std::unexpected(last_error_or(ERROR_MOD_NOT_FOUND));
  FARPROC function = GetProcAddress(module, name);
  if (function == nullptr) return std::unexpected(last_error_or(ERROR_PROC_NOT_FOUND));
  return function;
}

}  // namespace tavo
