#include "win/console.h"

#include "win/api.h"
#include "win/wide.h"

namespace tavo::console {
namespace {

// The stream's handle; nothing when the process was started without it.
HANDLE handle_of(Stream stream) {
  HANDLE handle = GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

// GetConsoleMode fails on any handle that is not a console's.
bool is_console_handle(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != FALSE;
}

}  // namespace

bool is_console(Stream stream) {
  HANDLE handle = handle_of(stream);
  return handle != nullptr && is_console_handle(handle);
}

bool write(Stream stream, std::string_view utf8) {
  HANDLE handle = handle_of(stream);
  if (handle == nullptr) return false;
  if (is_console_handle(handle)) {
    const WideString wide = to_wide_nul(utf8);
    DWORD written = 0;
    return WriteConsoleW(handle, wide.c_str(), static_cast<DWORD>(wide.size()), &written,
                         nullptr) &&
           written == wide.size();
  }
  DWORD written = 0;
  return WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr) &&
         written == utf8.size();
}

}  // namespace tavo::console
