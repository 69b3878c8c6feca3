// File handles, shared by the file functions and the areas that act on open objects
// (security by handle, final path names, process standard handles).
#pragma once

#include <unistd.h>

#include "internal.h"

namespace winsim::detail {

struct FileObject final : HandleObject {
  FileObject(int fd, std::string host_path, bool nul_device)
      : fd(fd), host_path(std::move(host_path)), nul_device(nul_device) {}
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
};

// CreateFileW after its entry into the gate: for calls that open a file on their own terms.
HANDLE open_file(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                 DWORD disposition, DWORD flags);

// Where the handle's object lies now, as a canonical host path: the descriptor's link names it
// after a rename too. A link opened itself is named by its own path, not resolved. Nothing, with
// errno set, when the host cannot tell.
std::optional<std::string> current_path(const FileObject& file);

}  // namespace winsim::detail
