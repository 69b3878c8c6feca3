// Functions of system DLLs that the program looks up when it first needs them, so that it starts
// (and fails cleanly) on systems and emulators that lack them.
#pragma once

#include <expected>
#include <string_view>

#include "win/api.h"

namespace tavo {

// The address of `name` in the system DLL `dll`, loaded from the system directory. The error is
// the platform's Win32 error for a missing DLL or function (126, 127).
std::expected<FARPROC, DWORD> system_function(std::string_view dll, const char* name);

// The same, as a pointer of the function's own type.
template <class Function>
std::expected<Function, DWORD> system_function_as(std::string_view dll, const char* name) {
  auto function = system_function(dll, name);
  if (!function) return std::unexpected(function.error());
  // Through the generic function pointer type, which any function pointer converts to and from.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(*function));
}

}  // namespace tavo
