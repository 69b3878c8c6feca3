#include "win/path_names.h"

#include "win/api.h"
#include "win/sized_text.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {

std::optional<std::string> final_path_name(std::string_view path) {
  // No access is asked for: the handle only names the object. Backup semantics open directories.
  unique_handle object(CreateFileW(to_wide_nul(path).c_str(), 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!object) return std::nullopt;
  return read_sized_text([&](WCHAR* buffer, DWORD size) {
    return GetFinalPathNameByHandleW(object.get(), buffer, size,
                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  });
}

std::optional<std::string> full_path_name(std::string_view path) {
  const WideString wide = to_wide_nul(path);
  return read_sized_text([&](WCHAR* buffer, DWORD size) {
    return GetFullPathNameW(wide.c_str(), size, buffer, nullptr);
  });
}

std::string to_long_path(std::string_view path) {
  const WideString wide = to_wide_nul(path);
  std::optional<std::string> long_form = read_sized_text(
      [&](WCHAR* buffer, DWORD size) { return GetLongPathNameW(wide.c_str(), buffer, size); });
  return long_form ? *long_form : std::string(path);
}

}  // namespace tavo
