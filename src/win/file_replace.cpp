#include "win/file_replace.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <vector>

#include "base/format.h"
#include "base/unicode_case.h"
#include "win/fs.h"
#include "win/path.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo::fs {
namespace {

// Tries at unique names before giving up: another writer may be using the same ones.
constexpr int kNameTries = 16;

std::string temporary_name(std::string_view name) {
  static std::atomic<unsigned> counter{0};
  return format(".{}.{}-{}.tmp", name, GetCurrentProcessId(), counter.fetch_add(1));
}

std::expected<unique_handle, IoError> create_new(const HeldFolder& folder, std::string_view name,
                                                 const SddlDescriptor& security) {
  for (int attempt = 0;; ++attempt) {
    const std::string path = path::join(folder.final_path(), temporary_name(name));
    SECURITY_ATTRIBUTES attributes = security.attributes();
    // DELETE, to rename the file into place or remove it through this same handle. No sharing:
    // nobody else has anything to do with it before it is in place.
    unique_handle file(CreateFileW(
        to_wide_nul(path).c_str(), GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0, &attributes,
        CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file) return file;
    const DWORD error = GetLastError();
    if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || attempt + 1 == kNameTries)
      return std::unexpected(IoError::from_win32(error));
  }
}

// Whether the file lies directly in the held folder: a folder above it swapped on the way would
// show in its final path.
bool lies_in(HANDLE file, const HeldFolder& folder) {
  const std::optional<std::string> where = final_path_of(file);
  if (!where) return false;
  const std::optional<std::string> parent = path::parent(*where);
  return parent && to_lowercase(*parent) == to_lowercase(folder.final_path());
}

// Renames the file through its handle to `name`, relative to `root` when it is given, else a
// full path; the Win32 error, or 0.
DWORD rename_through(HANDLE file, HANDLE root, std::string_view name) {
  const WideString wide = to_wide_nul(name);
  const std::size_t name_bytes = wide.size() * sizeof(WCHAR);
  // The record ends in the name; its declared one-character array is room for the NUL.
  std::vector<std::byte> record(sizeof(FILE_RENAME_INFO) + name_bytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(record.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = root;
  rename->FileNameLength = static_cast<DWORD>(name_bytes);
  std::memcpy(rename->FileName, wide.c_str(), name_bytes + sizeof(WCHAR));
  if (!SetFileInformationByHandle(file, FileRenameInfo, rename,
                                  static_cast<DWORD>(record.size()))) {
    return GetLastError();
  }
  return ERROR_SUCCESS;
}

std::expected<void, IoError> rename_into_place(HANDLE file, const HeldFolder& folder,
                                               std::string_view name) {
  const DWORD relative = rename_through(file, folder.get(), name);
  if (relative == ERROR_SUCCESS) return {};
  // A platform that takes no name relative to a folder's handle (Wine) says the parameter is
  // wrong: the held folder's full path names the same place, since the folder can be neither
  // renamed nor replaced while it is held; where the file arrived is checked all the same.
  if (relative != ERROR_INVALID_PARAMETER) return std::unexpected(IoError::from_win32(relative));
  if (const DWORD full = rename_through(file, nullptr, path::join(folder.final_path(), name)))
    return std::unexpected(IoError::from_win32(full));
  if (!lies_in(file, folder)) return std::unexpected(IoError::from_win32(ERROR_ACCESS_DENIED));
  return {};
}

void remove_through(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  // Its own failure cannot be reported better than the one that came before it.
  (void)SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

}  // namespace

std::expected<void, IoError> replace_file_in(const HeldFolder& folder, std::string_view name,
                                             std::string_view bytes,
                                             const SddlDescriptor& security) {
  auto file = create_new(folder, name, security);
  if (!file) return std::unexpected(file.error());
  std::expected<void, IoError> done = {};
  if (!lies_in(file->get(), folder)) {
    done = std::unexpected(IoError::from_win32(ERROR_ACCESS_DENIED));
  } else if (done = write_all(file->get(), bytes); done) {
    if (!FlushFileBuffers(file->get())) {
      done = std::unexpected(IoError::from_last_error());
    } else {
      done = rename_into_place(file->get(), folder, name);
    }
  }
  if (!done) remove_through(file->get());
  return done;
}

}  // namespace tavo::fs
