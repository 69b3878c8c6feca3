#include "win/made_folders.h"

#include "win/held_folder.h"
#include "win/path.h"
#include "win/path_names.h"
#include "win/wide.h"

namespace tavo::fs {
namespace {

// Opened for listing, so that the sharing mode without FILE_SHARE_DELETE applies to it.
std::expected<unique_handle, DWORD> open_held(const std::string& path) {
  unique_handle folder(CreateFileW(to_wide_nul(path).c_str(),
                                   FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) return std::unexpected(GetLastError());
  return folder;
}

bool is_folder(HANDLE object) {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(object, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The path's root and its names below it, top down.
bool split(const std::string& full, std::string& root, std::vector<std::string>& names) {
  std::string at = full;
  while (std::optional<std::string> up = path::parent(at)) {
    if (up->empty()) return false;
    std::optional<std::string> name = path::file_name(at);
    if (!name) return false;
    names.insert(names.begin(), std::move(*name));
    at = std::move(*up);
  }
  root = std::move(at);
  return true;
}

}  // namespace

std::expected<HeldFolders, MakeFoldersError> make_folders(std::string_view path,
                                                          const SddlDescriptor* security,
                                                          const MayMakeIn& may_make_in) {
  const std::optional<std::string> full = full_path_name(path);
  std::string root;
  std::vector<std::string> names;
  if (!full || !split(*full, root, names)) {
    return std::unexpected(IoError::from_win32(ERROR_INVALID_NAME));
  }
  HeldFolders folders;
  std::string named = root;
  auto top = open_held(root);
  if (!top) return std::unexpected(IoError::from_win32(top.error()));
  std::optional<std::string> reached = final_path_of(top->get());
  if (!reached) return std::unexpected(IoError::from_last_error());
  folders.held_.push_back(std::move(*top));
  for (const std::string& name : names) {
    const std::string next = path::join(*reached, name);
    auto opened = open_held(next);
    if (!opened &&
        (opened.error() == ERROR_FILE_NOT_FOUND || opened.error() == ERROR_PATH_NOT_FOUND)) {
      if (!may_make_in(*reached)) return std::unexpected(RefusedFolder{named, *reached});
      SECURITY_ATTRIBUTES copy{};
      if (security != nullptr) copy = security->attributes();
      if (!CreateDirectoryW(to_wide_nul(next).c_str(), security == nullptr ? nullptr : &copy) &&
          GetLastError() != ERROR_ALREADY_EXISTS) {
        return std::unexpected(IoError::from_last_error());
      }
      opened = open_held(next);
    }
    if (!opened) return std::unexpected(IoError::from_win32(opened.error()));
    if (!is_folder(opened->get()))
      return std::unexpected(IoError::from_win32(ERROR_ALREADY_EXISTS));
    std::optional<std::string> final_path = final_path_of(opened->get());
    if (!final_path) return std::unexpected(IoError::from_last_error());
    if (*final_path != next) {
      // A link led elsewhere: the folders above where it leads are held too, or one of them could
      // be swapped for a link while the new folders are made below it.
      for (std::optional<std::string> up = path::parent(*final_path); up && !up->empty();
           up = path::parent(*up)) {
        auto above = open_held(*up);
        if (!above) return std::unexpected(IoError::from_win32(above.error()));
        folders.held_.push_back(std::move(*above));
      }
    }
    folders.held_.push_back(std::move(*opened));
    named = path::join(named, name);
    reached = std::move(final_path);
  }
  folders.final_path_ = std::move(*reached);
  return folders;
}

}  // namespace tavo::fs
