#include "win/console.h"

#include "win/api.h"
#include "win/wide.h"

namespace tavo::console {

bool write(Stream stream, std::string_view utf8) {
  HANDLE handle = GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
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
