// Anonymous pipes: a host pipe behind each end. ReadFile and WriteFile (files.cpp) work on them
// through their host descriptors; a read of a pipe whose writers are all closed fails with
// ERROR_BROKEN_PIPE, as on Windows.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "processes.h"

using namespace winsim::detail;

namespace winsim::detail {

PipeEnd::~PipeEnd() {
  if (fd >= 0) ::close(fd);
}

}  // namespace winsim::detail

BOOL CreatePipe(PHANDLE read_end, PHANDLE write_end, LPSECURITY_ATTRIBUTES attributes,
                DWORD /*size: the host's pipe size serves*/) {
  if (DWORD error = enter("CreatePipe")) return fail(error, FALSE);
  if (read_end == nullptr || write_end == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  int fds[2];
  // Close-on-exec: a child gets a pipe end only as one of its standard handles.
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(win32_error_from_errno(errno), FALSE);
  const bool inheritable = attributes != nullptr && attributes->bInheritHandle;
  *read_end = add_handle(std::make_shared<PipeEnd>(fds[0]), Release::CloseHandle, "CreatePipe",
                         inheritable);
  *write_end = add_handle(std::make_shared<PipeEnd>(fds[1]), Release::CloseHandle, "CreatePipe",
                          inheritable);
  return TRUE;
}
