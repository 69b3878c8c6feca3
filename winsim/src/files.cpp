// Files and directories on the host's file system, with Windows' calling conventions and errors.
#include "files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "access.h"
#include "host_paths.h"
#include "new_objects.h"
#include "objects.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace {

// The standard rights a handle gets for `access`, generic rights mapped as the platform maps
// them for files: every generic right carries READ_CONTROL, read and execute carry
// FILE_READ_ATTRIBUTES, and only GENERIC_ALL carries WRITE_DAC, WRITE_OWNER and DELETE.
DWORD granted_rights(DWORD access) {
  constexpr DWORD kAnyGeneric = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
  DWORD granted = access & (READ_CONTROL | WRITE_DAC | WRITE_OWNER | DELETE | FILE_READ_ATTRIBUTES);
  if (access & kAnyGeneric) granted |= READ_CONTROL;
  if (access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL)) granted |= FILE_READ_ATTRIBUTES;
  if (access & GENERIC_ALL) granted |= WRITE_DAC | WRITE_OWNER | DELETE;
  return granted;
}

// The rights that let a handle change a file's data.
constexpr DWORD kWriteRights = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;

bool writes_data(DWORD access) {
  return (access & kWriteRights) != 0;
}

// The host open's flags for the access and the disposition; nothing for a disposition the
// platform does not know, or truncation without a right to write.
std::optional<int> open_flags_for(DWORD access, DWORD disposition) {
  const bool wants_read = (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
  const bool wants_write = writes_data(access);
  int flags = O_CLOEXEC;
  // A handle that may append but not write data anywhere writes at the end, whoever else wrote.
  const bool appends_only =
      (access & FILE_APPEND_DATA) && !(access & (FILE_WRITE_DATA | GENERIC_WRITE | GENERIC_ALL));
  if (appends_only) flags |= O_APPEND;
  if (wants_write) {
    flags |= wants_read ? O_RDWR : O_WRONLY;
  } else if (wants_read) {
    flags |= O_RDONLY;
  } else {
    flags |= O_PATH;  // attributes, security or the final name only
  }
  switch (disposition) {
    case CREATE_NEW:
      return flags | O_CREAT | O_EXCL;
    case CREATE_ALWAYS:
      return flags | O_CREAT | O_TRUNC;
    case OPEN_EXISTING:
      return flags;
    case OPEN_ALWAYS:
      return flags | O_CREAT;
    case TRUNCATE_EXISTING:
      if (!wants_write) return std::nullopt;
      return flags | O_TRUNC;
    default:
      return std::nullopt;
  }
}

// The rights that make a handle take part in sharing (D: a handle with only READ_CONTROL,
// WRITE_DAC, WRITE_OWNER, FILE_READ_ATTRIBUTES or SYNCHRONIZE does not).
constexpr DWORD kDataRights = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_EXECUTE |
                              DELETE | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

HANDLE add_file_handle(int fd, std::string host, bool nul_device, LPCWSTR name, DWORD access,
                       DWORD share, bool inheritable, bool is_link) {
  auto file = std::make_shared<FileObject>(fd, std::move(host), nul_device);
  file->opened_as = narrow(name);
  file->granted = granted_rights(access);
  file->is_link = is_link;
  file->bars_delete = !nul_device && (access & kDataRights) && !(share & FILE_SHARE_DELETE);
  return add_handle(std::move(file), Release::CloseHandle, "CreateFileW", inheritable);
}

// Resolves a Windows path for a file call; on failure sets the error a Windows call would give.
std::optional<std::string> resolve(LPCWSTR name) {
  if (name == nullptr || *name == 0) {
    set_last_error(ERROR_PATH_NOT_FOUND);
    return std::nullopt;
  }
  auto host = host_path(view(name));
  if (!host) set_last_error(ERROR_PATH_NOT_FOUND);
  return host;
}

DWORD last_errno_as_win32(const std::string& host) {
  return win32_error_from_errno(errno, host);
}

// One name of a listing, with what the listing says of it.
struct Found {
  std::string name;
  DWORD attributes;
  std::uint64_t size;
};

struct FindObject final : HandleObject {
  std::string_view kind() const override { return "find"; }
  std::vector<Found> entries;
  std::size_t next = 0;
};

// A link is listed with its own attributes, a reparse point's (a directory's too when it names
// one), also when what it names is gone *(A, as GetFileAttributesW)*; nothing for a name that
// vanished since it was read.
std::optional<Found> found(const std::string& dir, std::string name) {
  const std::string host = dir + "/" + name;
  struct stat st {};
  if (::lstat(host.c_str(), &st) != 0) return std::nullopt;
  if (S_ISLNK(st.st_mode)) {
    struct stat named {};
    const bool directory = ::stat(host.c_str(), &named) == 0 && S_ISDIR(named.st_mode);
    return Found{std::move(name),
                 FILE_ATTRIBUTE_REPARSE_POINT | (directory ? FILE_ATTRIBUTE_DIRECTORY : 0), 0};
  }
  return Found{std::move(name),
               S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL,
               static_cast<std::uint64_t>(st.st_size)};
}

void fill_find_data(const Found& entry, LPWIN32_FIND_DATAW data) {
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = entry.attributes;
  data->nFileSizeHigh = static_cast<DWORD>(entry.size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(entry.size);
  std::u16string name = widen(entry.name);
  name.resize(std::min<std::size_t>(name.size(), MAX_PATH - 1));
  std::memcpy(data->cFileName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
}

bool wildcard_match(std::string_view pattern, std::string_view name) {
  if (pattern.empty()) return name.empty();
  if (pattern[0] == '*') {
    for (std::size_t i = 0; i <= name.size(); ++i) {
      if (wildcard_match(pattern.substr(1), name.substr(i))) return true;
    }
    return false;
  }
  if (name.empty()) return false;
  if (pattern[0] != '?' && pattern[0] != name[0]) return false;
  return wildcard_match(pattern.substr(1), name.substr(1));
}

}  // namespace

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE) {
  if (DWORD error = enter("CreateFileW", narrow(name))) return fail(error, INVALID_HANDLE_VALUE);
  return open_file(name, access, share, security, disposition, flags);
}

HANDLE winsim::detail::open_file(LPCWSTR name, DWORD access, DWORD share,
                                 LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags) {
  const bool inheritable = security != nullptr && security->bInheritHandle;
  if (name != nullptr && is_nul_device(view(name))) {
    if ((granted_rights(access) & (WRITE_DAC | WRITE_OWNER)) &&
        !may_change_dacl(SecuredObject{std::string(kNulDevice), false}))
      return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) return fail(last_errno_as_win32("/dev/null"), INVALID_HANDLE_VALUE);
    return add_file_handle(fd, "NUL", true, name, access, share, inheritable, false);
  }
  auto host = resolve(name);
  if (!host) return INVALID_HANDLE_VALUE;
  auto open_flags = open_flags_for(access, disposition);
  if (!open_flags) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);

  // With FILE_FLAG_OPEN_REPARSE_POINT a link in the last component is opened itself; links on
  // the way are followed all the same.
  struct stat link {};
  const bool itself = (flags & FILE_FLAG_OPEN_REPARSE_POINT) &&
                      ::lstat(host->c_str(), &link) == 0 && S_ISLNK(link.st_mode);
  struct stat target {};
  const bool names_something = ::stat(host->c_str(), &target) == 0;
  bool existed = itself || names_something;
  if (existed && disposition == CREATE_NEW) return fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
  if (names_something && S_ISDIR(target.st_mode)) {
    // Directories (and links to them) open only with backup semantics, and never for data.
    if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || (writes_data(access) && !itself)) {
      return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }
    *open_flags = (*open_flags & O_PATH ? O_PATH : O_RDONLY) | O_DIRECTORY | O_CLOEXEC;
  }
  if (itself) {
    // A link opened itself is a name to act on: it has no data to write or cut short (A).
    if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)
      return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    *open_flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
  }

  const bool may_create = !existed && (*open_flags & O_CREAT);
  NewObjectSecurity wanted;
  if (may_create) {
    // Judged before anything is made: the directory's FILE_ADD_FILE, the descriptor's owner.
    if (!caller_may_make(*host, false)) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    auto asked = security_for_new_object(security);
    if (!asked) return fail(asked.error(), INVALID_HANDLE_VALUE);
    wanted = std::move(*asked);
    // The host makes no file through a descriptor for a path only.
    if (*open_flags & O_PATH) *open_flags = (*open_flags & ~O_PATH) | O_RDONLY;
    *open_flags |= O_EXCL;  // tells the file made here from one that appeared meanwhile
  } else if (existed && !itself && writes_data(access)) {
    // Judged before the open, which may cut the file short.
    auto object = object_at_path(view(name));
    if (object && !caller_has(*object, access & kWriteRights))
      return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  }

  // Opening never waits: a FIFO without a writer (or reader) would hold the caller for ever, where
  // Windows answers at once. I/O on the handle blocks again, as it does on Windows.
  int fd = ::open(host->c_str(), *open_flags | O_NONBLOCK, 0666);
  if (fd < 0 && may_create && errno == EEXIST && disposition != CREATE_NEW) {
    existed = true;  // made by another process since the look: opened as it is
    fd = ::open(host->c_str(), (*open_flags & ~O_EXCL) | O_NONBLOCK, 0666);
  }
  if (fd < 0) {
    const DWORD error = errno == EEXIST && disposition == CREATE_NEW ? ERROR_FILE_EXISTS
                                                                     : last_errno_as_win32(*host);
    return fail(error, INVALID_HANDLE_VALUE);
  }
  const bool created = may_create && !existed;
  if (!(*open_flags & O_PATH)) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  HANDLE handle = add_file_handle(fd, *host, false, name, access, share, inheritable, itself);
  auto refuse = [&](DWORD error) {
    remove_handle(handle, Release::CloseHandle);
    return fail(error, INVALID_HANDLE_VALUE);
  };
  if (created) {
    // A file the machine cannot give its owner and DACL is not left behind.
    auto object = object_of_handle(handle);
    const DWORD error = object ? record_new_object(*object, wanted) : object.error();
    if (error != ERROR_SUCCESS) {
      ::unlink(host->c_str());
      return refuse(error);
    }
  }
  // WRITE_DAC and WRITE_OWNER are judged on the object opened, after any link on the way was
  // followed.
  if (granted_rights(access) & (WRITE_DAC | WRITE_OWNER)) {
    auto object = object_of_handle(handle);
    if (!object || !may_change_dacl(*object, granted_rights(access) & (WRITE_DAC | WRITE_OWNER)))
      return refuse(ERROR_ACCESS_DENIED);
  }
  // Opening an existing file with CREATE_ALWAYS or OPEN_ALWAYS succeeds with this last error.
  set_last_error(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
  return handle;
}

namespace winsim::detail {

std::optional<std::string> current_path(const FileObject& file) {
  const std::string descriptor = "/proc/self/fd/" + std::to_string(file.fd);
  std::vector<char> buffer(PATH_MAX);
  if (!file.is_link) {
    // The descriptor's link names the object by the path it has now, with no link on the way;
    // that path must still lead to the object (a removed one's carries " (deleted)"). One look
    // each, where resolving the descriptor's link would look at every component again.
    const ssize_t length = ::readlink(descriptor.c_str(), buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) == buffer.size() || buffer[0] != '/')
      return std::nullopt;
    std::string path(buffer.data(), static_cast<std::size_t>(length));
    struct stat held {
    }, named{};
    if (::fstat(file.fd, &held) != 0 || ::stat(path.c_str(), &named) != 0 ||
        held.st_dev != named.st_dev || held.st_ino != named.st_ino)
      return std::nullopt;
    return path;
  }
  // The descriptor's link names the link itself; resolving it would follow the link on.
  const ssize_t n = ::readlink(descriptor.c_str(), buffer.data(), buffer.size());
  if (n < 0) return std::nullopt;
  if (static_cast<std::size_t>(n) == buffer.size()) {
    errno = ENAMETOOLONG;
    return std::nullopt;
  }
  return std::string(buffer.data(), static_cast<std::size_t>(n));
}

}  // namespace winsim::detail

namespace winsim::detail {

bool delete_barred(const struct stat& object, const FileObject* except) {
  for (const auto& held : open_objects()) {
    const auto* file = dynamic_cast<const FileObject*>(held.get());
    if (file == nullptr || file == except || !file->bars_delete) continue;
    struct stat st {};
    if (::fstat(file->fd, &st) == 0 && st.st_dev == object.st_dev && st.st_ino == object.st_ino)
      return true;
  }
  return false;
}

}  // namespace winsim::detail

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
  if (DWORD error = enter("GetFileInformationByHandle", handle_key(file)))
    return fail(error, FALSE);
  auto object = find_handle_as<FileObject>(file);
  if (!object || object->nul_device) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (information == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!(object->granted & FILE_READ_ATTRIBUTES)) return fail(ERROR_ACCESS_DENIED, FALSE);
  struct stat st {};
  if (::fstat(object->fd, &st) != 0) return fail(win32_error_from_errno(errno), FALSE);
  *information = BY_HANDLE_FILE_INFORMATION{};
  if (object->is_link) {
    // A link is a reparse point, a directory one when it names a directory (A); no data.
    auto path = current_path(*object);
    struct stat named {};
    const bool directory = path && ::stat(path->c_str(), &named) == 0 && S_ISDIR(named.st_mode);
    information->dwFileAttributes =
        FILE_ATTRIBUTE_REPARSE_POINT | (directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
  } else {
    information->dwFileAttributes =
        S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    information->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    information->nFileSizeLow = static_cast<DWORD>(size);
  }
  information->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
  return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, void*) {
  if (DWORD error = enter("ReadFile")) return fail(error, FALSE);
  auto object = find_handle(file);
  if (!object || object->host_fd() < 0) return fail(ERROR_INVALID_HANDLE, FALSE);
  ssize_t n;
  do {
    n = ::read(object->host_fd(), buffer, to_read);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (read != nullptr) *read = 0;
    return fail(errno == EISDIR ? ERROR_INVALID_FUNCTION : win32_error_from_errno(errno), FALSE);
  }
  if (read != nullptr) *read = static_cast<DWORD>(n);
  // The end of a pipe whose writers are all closed is a failure on Windows, not an empty read.
  struct stat st {};
  if (n == 0 && to_read > 0 && ::fstat(object->host_fd(), &st) == 0 && S_ISFIFO(st.st_mode))
    return fail(ERROR_BROKEN_PIPE, FALSE);
  return TRUE;
}

DWORD GetFileType(HANDLE file) {
  if (DWORD error = enter("GetFileType")) return fail(error, FILE_TYPE_UNKNOWN);
  auto object = find_handle(file);
  if (!object || object->host_fd() < 0) return fail(ERROR_INVALID_HANDLE, FILE_TYPE_UNKNOWN);
  struct stat st {};
  if (::fstat(object->host_fd(), &st) != 0) {
    return fail(win32_error_from_errno(errno), FILE_TYPE_UNKNOWN);
  }
  // Block devices are disks, as a volume's handle is on Windows; sockets are pipes there too.
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || S_ISBLK(st.st_mode)) return FILE_TYPE_DISK;
  if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR;
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
  return fail(ERROR_SUCCESS, FILE_TYPE_UNKNOWN);
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  if (DWORD error = enter("GetFileSizeEx")) return fail(error, FALSE);
  if (size == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  auto object = find_handle(file);
  if (!object || object->host_fd() < 0) return fail(ERROR_INVALID_HANDLE, FALSE);
  struct stat st {};
  if (::fstat(object->host_fd(), &st) != 0) return fail(win32_error_from_errno(errno), FALSE);
  // Only files and directories have a size; devices and pipes answer as an unsupported request.
  if (S_ISDIR(st.st_mode)) {
    size->QuadPart = 0;
    return TRUE;
  }
  if (!S_ISREG(st.st_mode)) return fail(ERROR_INVALID_FUNCTION, FALSE);
  size->QuadPart = static_cast<LONGLONG>(st.st_size);
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written, void*) {
  if (DWORD error = enter("WriteFile")) return fail(error, FALSE);
  auto object = find_handle(file);
  if (!object || object->host_fd() < 0) return fail(ERROR_INVALID_HANDLE, FALSE);
  const auto* bytes = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < to_write) {
    ssize_t n = ::write(object->host_fd(), bytes + done, to_write - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (written != nullptr) *written = done;
      return fail(win32_error_from_errno(errno), FALSE);
    }
    done += static_cast<DWORD>(n);
  }
  if (written != nullptr) *written = done;
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  if (DWORD error = enter("CreateDirectoryW", narrow(path))) return fail(error, FALSE);
  auto host = resolve(path);
  if (!host) return FALSE;
  // Judged before anything is made: the parent's FILE_ADD_SUBDIRECTORY, the descriptor's owner.
  if (!caller_may_make(*host, true)) return fail(ERROR_ACCESS_DENIED, FALSE);
  auto wanted = security_for_new_object(security);
  if (!wanted) return fail(wanted.error(), FALSE);
  if (::mkdir(host->c_str(), 0777) != 0) return fail(last_errno_as_win32(*host), FALSE);
  // A directory the machine cannot give its owner and DACL is not left behind.
  auto object = object_at_path(view(path));
  const DWORD error = object ? record_new_object(*object, *wanted) : object.error();
  if (error != ERROR_SUCCESS) {
    ::rmdir(host->c_str());
    return fail(error, FALSE);
  }
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR path) {
  if (DWORD error = enter("RemoveDirectoryW", narrow(path))) return fail(error, FALSE);
  auto host = resolve(path);
  if (!host) return FALSE;
  auto object = object_itself(*host);
  if (object && !caller_may_delete(*object)) return fail(ERROR_ACCESS_DENIED, FALSE);
  if (struct stat st{}; ::lstat(host->c_str(), &st) == 0 && delete_barred(st))
    return fail(ERROR_SHARING_VIOLATION, FALSE);
  if (::rmdir(host->c_str()) != 0) {
    return fail(errno == ENOTDIR ? ERROR_DIRECTORY : last_errno_as_win32(*host), FALSE);
  }
  // The directory is gone whether or not the machine can drop its records *(A)*.
  if (object) forget_object_records(object->key);
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
  if (DWORD error = enter("DeleteFileW", narrow(path))) return fail(error, FALSE);
  auto host = resolve(path);
  if (!host) return FALSE;
  struct stat st {};
  if (::lstat(host->c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return fail(ERROR_ACCESS_DENIED, FALSE);  // a directory is not a file
  }
  auto object = object_itself(*host);
  if (object && !caller_may_delete(*object)) return fail(ERROR_ACCESS_DENIED, FALSE);
  if (::lstat(host->c_str(), &st) == 0 && delete_barred(st))
    return fail(ERROR_SHARING_VIOLATION, FALSE);
  if (::unlink(host->c_str()) != 0) return fail(last_errno_as_win32(*host), FALSE);
  // The file is gone whether or not the machine can drop its records *(A)*.
  if (object) forget_object_records(object->key);
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
  if (DWORD error = enter("GetFileAttributesW", narrow(path))) {
    return fail(error, INVALID_FILE_ATTRIBUTES);
  }
  if (path != nullptr && is_nul_device(view(path))) return FILE_ATTRIBUTE_NORMAL;
  auto host = resolve(path);
  if (!host) return INVALID_FILE_ATTRIBUTES;
  // A link in the last component is not followed: its own attributes are given, a reparse
  // point's, a directory's too when it names one (A), also when what it names is gone.
  struct stat st {};
  if (::lstat(host->c_str(), &st) != 0)
    return fail(last_errno_as_win32(*host), INVALID_FILE_ATTRIBUTES);
  if (S_ISLNK(st.st_mode)) {
    struct stat named {};
    const bool directory = ::stat(host->c_str(), &named) == 0 && S_ISDIR(named.st_mode);
    return FILE_ATTRIBUTE_REPARSE_POINT | (directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
  }
  return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  if (DWORD error = enter("FindFirstFileW", narrow(pattern)))
    return fail(error, INVALID_HANDLE_VALUE);
  auto host = resolve(pattern);
  if (!host) return INVALID_HANDLE_VALUE;
  auto slash = host->rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : host->substr(0, slash);
  std::string mask = slash == std::string::npos ? *host : host->substr(slash + 1);
  if (mask == "*.*") mask = "*";

  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) {
    DWORD error = errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                      : win32_error_from_errno(errno, dir);
    return fail(error, INVALID_HANDLE_VALUE);
  }
  auto find = std::make_shared<FindObject>();
  while (dirent* entry = ::readdir(listing)) {
    std::string name = entry->d_name;
    if (!wildcard_match(mask, name)) continue;
    // Drive roots and the host root list no "." and "..", as on Windows.
    if ((name == "." || name == "..") && is_host_root(dir)) continue;
    if (std::optional<Found> listed = found(dir, name)) find->entries.push_back(std::move(*listed));
  }
  ::closedir(listing);
  // "." and ".." first, the rest in name order: a stable listing order.
  std::stable_sort(find->entries.begin(), find->entries.end(), [](const auto& a, const auto& b) {
    auto rank = [](const std::string& n) { return n == "." ? 0 : n == ".." ? 1 : 2; };
    return rank(a.name) != rank(b.name) ? rank(a.name) < rank(b.name) : a.name < b.name;
  });
  if (find->entries.empty()) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  fill_find_data(find->entries[0], data);
  find->next = 1;
  return add_handle(find, Release::FindClose, "FindFirstFileW");
}

BOOL FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW data) {
  if (DWORD error = enter("FindNextFileW")) return fail(error, FALSE);
  auto find = find_handle_as<FindObject>(handle);
  if (!find) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (find->next >= find->entries.size()) return fail(ERROR_NO_MORE_FILES, FALSE);
  fill_find_data(find->entries[find->next++], data);
  return TRUE;
}

BOOL FindClose(HANDLE handle) {
  note("FindClose");
  if (!remove_handle(handle, Release::FindClose)) return fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}
