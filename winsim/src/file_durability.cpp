// What a program needs to make a file's contents last: flushing a file to the disk and replacing
// a file by a rename in one step.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "access.h"
#include "files.h"
#include "host_paths.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace {

constexpr DWORD kModelledMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// The directory that holds `host`, so that a rename in it can be made durable.
std::string parent_of(const std::string& host) {
  const auto slash = host.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : host.substr(0, slash);
}

bool sync_directory(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

}  // namespace

BOOL FlushFileBuffers(HANDLE file) {
  auto object = find_handle_as<FileObject>(file);
  if (DWORD error = enter("FlushFileBuffers", object ? object->host_path : std::string()))
    return fail(error, FALSE);
  if (!object) {
    // A standard handle or a pipe: the platform flushes pipes too, the host needs nothing.
    auto other = find_handle(file);
    if (!other || other->host_fd() < 0) return fail(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
  }
  if (object->nul_device) return TRUE;
  if (::fsync(object->fd) != 0 && errno != EINVAL)  // EINVAL: a file that cannot be synced
    return fail(win32_error_from_errno(errno, object->host_path), FALSE);
  return TRUE;
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR replacement, DWORD flags) {
  if (DWORD error = enter("MoveFileExW", narrow(existing) + " -> " + narrow(replacement)))
    return fail(error, FALSE);
  if ((flags & ~kModelledMoveFlags) != 0) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (existing == nullptr || replacement == nullptr || *existing == 0 || *replacement == 0)
    return fail(ERROR_PATH_NOT_FOUND, FALSE);
  auto from = host_path(view(existing));
  auto to = host_path(view(replacement));
  if (!from || !to) return fail(ERROR_PATH_NOT_FOUND, FALSE);
  struct stat source {};
  if (::lstat(from->c_str(), &source) != 0)
    return fail(win32_error_from_errno(errno, *from), FALSE);
  struct stat target {};
  const bool target_exists = ::lstat(to->c_str(), &target) == 0;
  if (target_exists) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) return fail(ERROR_ALREADY_EXISTS, FALSE);
    // The platform replaces files only; a directory in the way is refused.
    if (S_ISDIR(target.st_mode)) return fail(ERROR_ACCESS_DENIED, FALSE);
  }
  if (delete_barred(source) || (target_exists && delete_barred(target)))
    return fail(ERROR_SHARING_VIOLATION, FALSE);
  // A rename takes the object from its directory and makes an entry in the other (D).
  auto moved = object_itself(*from);
  if (!moved) return fail(moved.error(), FALSE);
  if (!caller_may_delete(*moved) || !caller_may_make(*to, S_ISDIR(source.st_mode)))
    return fail(ERROR_ACCESS_DENIED, FALSE);
  // Without REPLACE_EXISTING the check and the rename are one step, so a target that appears in
  // between is not overwritten either.
  const unsigned no_replace = (flags & MOVEFILE_REPLACE_EXISTING) ? 0 : RENAME_NOREPLACE;
  if (::renameat2(AT_FDCWD, from->c_str(), AT_FDCWD, to->c_str(), no_replace) != 0) {
    if (errno == EEXIST) return fail(ERROR_ALREADY_EXISTS, FALSE);
    if (errno == EXDEV) return fail(ERROR_NOT_SAME_DEVICE, FALSE);  // copying is not modelled
    return fail(win32_error_from_errno(errno, *to), FALSE);
  }
  // The object keeps its owner and explicit entries under its new name; what a replaced file
  // had goes with it.
  if (auto arrived = path_itself(*to)) {
    if (DWORD error = carry_object_records(moved->key, *arrived)) return fail(error, FALSE);
  }
  // Write-through: the call returns once the rename is on the disk.
  if ((flags & MOVEFILE_WRITE_THROUGH) && !sync_directory(parent_of(*to)))
    return fail(win32_error_from_errno(errno, *to), FALSE);
  return TRUE;
}
