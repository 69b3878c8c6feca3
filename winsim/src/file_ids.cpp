// Objects known by their identity rather than by a name: the file ID query and the open by ID.
//
// The host's device number stands for the volume's serial number, and its inode number with the
// object's birth time for the file ID, so an identity survives every rename, as on the platform,
// and a removed object is not found again, even when its inode number is given to a new one. The
// host cannot open by inode, so an open by ID searches the volume's tree for it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "files.h"
#include "host_paths.h"
#include "objects.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace {

struct HostIdentity {
  dev_t device;
  ino_t inode;
  std::uint64_t birth;  // 0: any (an ID of 64 bits carries none)
};

// The object's birth time in nanoseconds, or 0 where the host file system keeps none. A freed
// inode number is soon given to a new object; with its birth beside it an ID never names
// another object, as the platform's sequence numbers ensure (A).
std::uint64_t birth_of(int dir, const char* path, int flags) {
  struct statx st {};
  if (::statx(dir, path, flags, STATX_BTIME, &st) != 0 || !(st.stx_mask & STATX_BTIME)) return 0;
  return static_cast<std::uint64_t>(st.stx_btime.tv_sec) * 1'000'000'000u + st.stx_btime.tv_nsec;
}

bool is_wanted(const std::string& path, const struct stat& st, const HostIdentity& wanted) {
  return st.st_dev == wanted.device && st.st_ino == wanted.inode &&
         (wanted.birth == 0 ||
          birth_of(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW) == wanted.birth);
}

// Where the object with `wanted` lies at or below the directory `dir`, links not followed.
std::optional<std::string> find_below(const std::string& dir, const HostIdentity& wanted) {
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) return std::nullopt;
  std::optional<std::string> found;
  std::vector<std::string> subdirectories;
  while (!found) {
    const dirent* entry = ::readdir(listing);
    if (entry == nullptr) break;
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = (dir == "/" ? "" : dir) + "/" + std::string(name);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (is_wanted(path, st, wanted)) {
      found = path;
    } else if (S_ISDIR(st.st_mode) && st.st_dev == wanted.device) {
      subdirectories.push_back(path);
    }
  }
  ::closedir(listing);
  for (std::size_t i = 0; !found && i < subdirectories.size(); ++i)
    found = find_below(subdirectories[i], wanted);
  return found;
}

// The tree an open by ID searches: the drive the hint lies on, or, for a host path outside the
// drives, the hint's own directory (A: a whole host file system is too large to search).
std::optional<std::string> volume_tree(const FileObject& hint) {
  auto path = current_path(hint);
  if (!path) return std::nullopt;
  if (auto root = drive_root_of(*path)) return root;
  struct stat st {};
  if (::stat(path->c_str(), &st) != 0) return std::nullopt;
  return S_ISDIR(st.st_mode) ? *path : parent_directory(*path);
}

std::string id_key(const FILE_ID_DESCRIPTOR* id) {
  if (id == nullptr) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string key;
  for (BYTE byte : id->ExtendedFileId.Identifier) {
    key.push_back(kDigits[byte >> 4]);
    key.push_back(kDigits[byte & 0xF]);
  }
  return key;
}

}  // namespace

BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                  LPVOID information, DWORD size) {
  if (DWORD error = enter("GetFileInformationByHandleEx", handle_key(file)))
    return fail(error, FALSE);
  auto object = find_handle_as<FileObject>(file);
  if (!object || object->nul_device) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (information_class != FileIdInfo || information == nullptr)
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  constexpr DWORD kBadLength = 24;  // ERROR_BAD_LENGTH, as for a record of the wrong size
  if (size < sizeof(FILE_ID_INFO)) return fail(kBadLength, FALSE);
  struct stat st {};
  if (::fstat(object->fd, &st) != 0) return fail(win32_error_from_errno(errno), FALSE);
  FILE_ID_INFO out{};
  out.VolumeSerialNumber = static_cast<ULONGLONG>(st.st_dev);
  auto inode = static_cast<std::uint64_t>(st.st_ino);
  std::uint64_t birth = birth_of(object->fd, "", AT_EMPTY_PATH);
  for (std::size_t i = 0; i < 8; ++i, inode >>= 8, birth >>= 8) {
    out.FileId.Identifier[i] = static_cast<BYTE>(inode & 0xFF);
    out.FileId.Identifier[8 + i] = static_cast<BYTE>(birth & 0xFF);
  }
  std::memcpy(information, &out, sizeof out);
  return TRUE;
}

HANDLE OpenFileById(HANDLE volume_hint, LPFILE_ID_DESCRIPTOR file_id, DWORD access, DWORD share,
                    LPSECURITY_ATTRIBUTES security, DWORD flags) {
  if (DWORD error = enter("OpenFileById", id_key(file_id)))
    return fail(error, INVALID_HANDLE_VALUE);
  auto hint = find_handle_as<FileObject>(volume_hint);
  if (!hint || hint->nul_device) return fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
  if (file_id == nullptr || file_id->dwSize != sizeof(FILE_ID_DESCRIPTOR))
    return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  std::uint64_t inode = 0;
  std::uint64_t birth = 0;
  if (file_id->Type == FileIdType) {
    inode = static_cast<std::uint64_t>(file_id->FileId.QuadPart);
  } else if (file_id->Type == ExtendedFileIdType) {
    const BYTE* bytes = file_id->ExtendedFileId.Identifier;
    for (std::size_t i = 8; i-- > 0;) {
      inode = inode << 8 | bytes[i];
      birth = birth << 8 | bytes[8 + i];
    }
  } else {
    return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  struct stat hint_stat {};
  if (::fstat(hint->fd, &hint_stat) != 0)
    return fail(win32_error_from_errno(errno), INVALID_HANDLE_VALUE);
  auto tree = volume_tree(*hint);
  if (!tree) return fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
  const HostIdentity wanted{hint_stat.st_dev, static_cast<ino_t>(inode), birth};
  std::optional<std::string> found;
  struct stat top {};
  if (::lstat(tree->c_str(), &top) == 0 && is_wanted(*tree, top, wanted)) {
    found = *tree;
  } else {
    found = find_below(*tree, wanted);
  }
  // NTFS answers an ID it holds no object for with STATUS_INVALID_PARAMETER (A).
  if (!found) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  struct stat itself {};
  const bool link = ::lstat(found->c_str(), &itself) == 0 && S_ISLNK(itself.st_mode);
  // The object itself is opened, never what a link of that ID names.
  const std::u16string name = widen(*found);
  return open_file(name.c_str(), access, share, security, OPEN_EXISTING,
                   flags | (link ? FILE_FLAG_OPEN_REPARSE_POINT : 0));
}
