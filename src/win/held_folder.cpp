#include "win/held_folder.h"

#include "win/sized_text.h"
#include "win/wide.h"

namespace tavo {

std::optional<std::string> final_path_of(HANDLE object) {
  return read_sized_text([&](WCHAR* buffer, DWORD size) {
    return GetFinalPathNameByHandleW(object, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  });
}

std::expected<HeldFolder, std::string> HeldFolder::open(std::string_view path) {
  unique_handle folder(CreateFileW(
      to_wide_nul(path).c_str(), FILE_LIST_DIRECTORY | READ_CONTROL | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder) return std::unexpected(IoError::from_last_error().display());
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(folder.get(), &info)) {
    return std::unexpected(IoError::from_last_error().display());
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return std::unexpected("is a link");
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return std::unexpected("is not a folder");
  }
  std::optional<std::string> final_path = final_path_of(folder.get());
  if (!final_path) return std::unexpected(IoError::from_last_error().display());
  return HeldFolder(std::move(folder), std::move(*final_path));
}

}  // namespace tavo
