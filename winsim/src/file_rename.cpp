// Renaming an open file through its handle: SetFileInformationByHandle with FileRenameInfo.
//
// What moves is the object the handle stands on, found under its current name, so a name that
// was given to something else meanwhile is never moved in its place. The new name is a full
// path, or a name relative to the folder another handle holds (RootDirectory), which is how a
// program keeps the folder it judged from being swapped between its check and the rename. An
// existing file or link at the new name is replaced itself, never written through (D: the rename
// replaces the directory entry).
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <expected>

#include "access.h"
#include "files.h"
#include "host_paths.h"
#include "objects.h"

namespace winsim::detail {
namespace {

bool same_object(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The host path the record names, or the Win32 error.
std::expected<std::string, DWORD> destination(const FILE_RENAME_INFO& rename, DWORD size) {
  constexpr DWORD kBadLength = 24;  // ERROR_BAD_LENGTH
  const std::size_t header = offsetof(FILE_RENAME_INFO, FileName);
  if (size < header || rename.FileNameLength % sizeof(WCHAR) != 0 ||
      size - header < rename.FileNameLength)
    return std::unexpected(kBadLength);
  const std::u16string name(reinterpret_cast<const char16_t*>(rename.FileName),
                            rename.FileNameLength / sizeof(WCHAR));
  if (name.empty()) return std::unexpected(ERROR_INVALID_PARAMETER);
  if (rename.RootDirectory == nullptr) {
    auto host = host_path(name);
    if (!host) return std::unexpected(ERROR_PATH_NOT_FOUND);
    return *host;
  }
  // Relative to the folder: a name of its own, no path *(A: the platform takes a relative path;
  // a name is all a program needs)*.
  if (name.find_first_of(u"\\/:") != std::u16string::npos || name == u"." || name == u"..")
    return std::unexpected(ERROR_INVALID_PARAMETER);
  auto root = find_handle_as<FileObject>(rename.RootDirectory);
  if (!root || root->nul_device) return std::unexpected(ERROR_INVALID_HANDLE);
  struct stat folder {};
  if (::fstat(root->fd, &folder) != 0) return std::unexpected(win32_error_from_errno(errno));
  if (!S_ISDIR(folder.st_mode) || root->is_link) return std::unexpected(ERROR_INVALID_PARAMETER);
  auto where = current_path(*root);
  if (!where) return std::unexpected(win32_error_from_errno(errno));
  return *where + "/" + to_host(name);
}

}  // namespace

BOOL rename_by_handle(const FileObject& file, const FILE_RENAME_INFO& rename, DWORD size) {
  if (!(file.granted & DELETE)) return fail(ERROR_ACCESS_DENIED, FALSE);
  if (file.nul_device) return fail(ERROR_ACCESS_DENIED, FALSE);
  auto to = destination(rename, size);
  if (!to) return fail(to.error(), FALSE);
  struct stat opened {};
  if (::fstat(file.fd, &opened) != 0) return fail(win32_error_from_errno(errno), FALSE);
  if (opened.st_nlink == 0) return fail(ERROR_ACCESS_DENIED, FALSE);  // delete-pending (A)
  auto from = current_path(file);
  if (!from) return fail(win32_error_from_errno(errno), FALSE);
  struct stat there {};
  if (::lstat(from->c_str(), &there) != 0 || !same_object(opened, there))
    return fail(ERROR_ACCESS_DENIED, FALSE);  // the name no longer leads to the handle's object
  struct stat target {};
  const bool target_exists = ::lstat(to->c_str(), &target) == 0;
  if (target_exists) {
    if (same_object(target, there)) return TRUE;
    if (!rename.ReplaceIfExists) return fail(ERROR_ALREADY_EXISTS, FALSE);
    // Files and links are replaced; a directory in the way is refused.
    if (S_ISDIR(target.st_mode)) return fail(ERROR_ACCESS_DENIED, FALSE);
  }
  if (delete_barred(there, &file) || (target_exists && delete_barred(target)))
    return fail(ERROR_SHARING_VIOLATION, FALSE);
  auto moved = object_itself(*from);
  if (!moved) return fail(moved.error(), FALSE);
  if (!caller_may_delete(*moved) || !caller_may_make(*to, S_ISDIR(there.st_mode)))
    return fail(ERROR_ACCESS_DENIED, FALSE);
  const unsigned no_replace = rename.ReplaceIfExists ? 0 : RENAME_NOREPLACE;
  if (::renameat2(AT_FDCWD, from->c_str(), AT_FDCWD, to->c_str(), no_replace) != 0) {
    if (errno == EEXIST) return fail(ERROR_ALREADY_EXISTS, FALSE);
    if (errno == EXDEV) return fail(ERROR_NOT_SAME_DEVICE, FALSE);
    return fail(win32_error_from_errno(errno, *to), FALSE);
  }
  // The object keeps its owner and explicit entries under its new name; what a replaced file or
  // link had goes with it.
  if (auto arrived = path_itself(*to)) {
    if (DWORD error = carry_object_records(moved->key, *arrived)) return fail(error, FALSE);
  }
  return TRUE;
}

}  // namespace winsim::detail
