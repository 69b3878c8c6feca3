// File handles, shared by the file functions and the areas that act on open objects
// (security by handle, final path names, process standard handles).
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "winsim/kernel.h"

namespace winsim::detail {

struct FileObject final : HandleObject {
  FileObject(int descriptor, std::string path, bool is_nul_device)
      : fd(descriptor), host_path(std::move(path)), nul_device(is_nul_device) {}
  ~FileObject() override {
    if (fd >= 0) ::close(fd);
  }
  FileObject(const FileObject&) = delete;
  FileObject& operator=(const FileObject&) = delete;
  std::string_view kind() const override { return nul_device ? "NUL device" : "file"; }
  int host_fd() const override { return fd; }

  int fd;
  std::string host_path;  // as opened (absolute or relative to the current directory)
  bool nul_device;
  std::string opened_as;  // the name CreateFileW was given: the trace key of calls on the handle
  DWORD granted = 0;      // the standard rights granted (READ_CONTROL, WRITE_DAC, WRITE_OWNER,
                          // DELETE, FILE_READ_ATTRIBUTES), generic ones mapped
  bool is_link = false;   // opened on a link itself (FILE_FLAG_OPEN_REPARSE_POINT), not its target
  // Opened for data (reading, writing, executing, deleting, listing a folder) without
  // FILE_SHARE_DELETE: while this handle is open, the object can be neither renamed nor deleted.
  bool bars_delete = false;
};

// CreateFileW after its entry into the gate: for calls that open a file on their own terms.
HANDLE open_file(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                 DWORD disposition, DWORD flags);

// Where the handle's object lies now, as a canonical host path: the descriptor's link names it
// after a rename too. A link opened itself is named by its own path, not resolved. Nothing, with
// errno set, when the host cannot tell.
std::optional<std::string> current_path(const FileObject& file);

// Whether a file handle of this process other than `except` holds the host object `object`
// (lstat's identity) so that it may not be renamed or deleted: ERROR_SHARING_VIOLATION then.
bool delete_barred(const struct stat& object, const FileObject* except = nullptr);

// SetFileInformationByHandle's FileRenameInfo for an open file; `size` is the record's.
BOOL rename_by_handle(const FileObject& file, const FILE_RENAME_INFO& rename, DWORD size);

}  // namespace winsim::detail
