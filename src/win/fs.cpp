#include "win/fs.h"

#include "base/text.h"
#include "win/path.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo::fs {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::expected<unique_handle, IoError> open(std::string_view path, DWORD access, DWORD disposition,
                                           SECURITY_ATTRIBUTES* security = nullptr) {
  unique_handle file(CreateFileW(to_wide_nul(path).c_str(), access, kShareAll, security,
                                 disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::unexpected(IoError::from_last_error());
  return file;
}

DWORD attributes(std::string_view path) {
  return GetFileAttributesW(to_wide_nul(path).c_str());
}

}  // namespace

std::expected<std::string, IoError> read_text_file(std::string_view path) {
  auto file = open(path, GENERIC_READ, OPEN_EXISTING);
  if (!file) return std::unexpected(file.error());
  std::string content;
  char buffer[16 * 1024];
  while (true) {
    DWORD read = 0;
    if (!ReadFile(file->get(), buffer, sizeof buffer, &read, nullptr)) {
      return std::unexpected(IoError::from_last_error());
    }
    if (read == 0) break;
    content.append(buffer, read);
  }
  if (!is_valid_utf8(content)) return std::unexpected(IoError::invalid_utf8());
  return content;
}

std::expected<unique_handle, IoError> create_file(std::string_view path,
                                                  const SddlDescriptor* security) {
  if (security == nullptr) return open(path, GENERIC_WRITE, CREATE_ALWAYS);
  // The creating call takes the descriptor for a new file only; an existing one is given it
  // through the handle.
  SECURITY_ATTRIBUTES attributes = security->attributes();
  auto file = open(path, GENERIC_WRITE | WRITE_DAC | WRITE_OWNER, CREATE_ALWAYS, &attributes);
  if (!file) return file;
  if (auto applied = security->apply_to(file->get()); !applied) {
    // Emptied by the open, and not the administrators' alone: not a file to leave behind.
    file->reset();
    discard_partial_file(path);
    return std::unexpected(applied.error());
  }
  return file;
}

std::expected<void, IoError> write_file(std::string_view path, std::string_view bytes,
                                        const SddlDescriptor* security) {
  auto file = create_file(path, security);
  if (!file) return std::unexpected(file.error());
  if (auto written = write_all(file->get(), bytes); !written) {
    file->reset();
    discard_partial_file(path);
    return written;
  }
  return {};
}

void discard_partial_file(std::string_view path) {
  // Its own failure cannot be reported better than the write's that came before it.
  (void)DeleteFileW(to_wide_nul(path).c_str());
}

std::expected<void, IoError> write_all(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
      return std::unexpected(IoError::from_last_error());
    }
    if (written == 0) return std::unexpected(IoError::from_win32(ERROR_DISK_FULL));
    bytes.remove_prefix(written);
  }
  return {};
}

std::expected<void, IoError> create_dir_all(std::string_view path, const SddlDescriptor* security) {
  if (path.empty()) return {};
  SECURITY_ATTRIBUTES copy{};
  if (security != nullptr) copy = security->attributes();
  SECURITY_ATTRIBUTES* attributes = security == nullptr ? nullptr : &copy;
  if (CreateDirectoryW(to_wide_nul(path).c_str(), attributes)) return {};
  const DWORD error = GetLastError();
  if (is_dir(path)) return {};
  if (error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND) {
    return std::unexpected(IoError::from_win32(error));
  }
  // A missing ancestor: make the chain above first, then this directory.
  std::optional<std::string> parent = path::parent(path);
  if (!parent) return std::unexpected(IoError::from_win32(error));
  if (auto made = create_dir_all(*parent, security); !made) return made;
  if (CreateDirectoryW(to_wide_nul(path).c_str(), attributes) || is_dir(path)) return {};
  return std::unexpected(IoError::from_last_error());
}

std::expected<std::vector<std::string>, IoError> list_dir(std::string_view path) {
  WIN32_FIND_DATAW entry{};
  unique_find_handle find(FindFirstFileW(to_wide_nul(path::join(path, "*")).c_str(), &entry));
  if (!find) {
    const DWORD error = GetLastError();
    // An existing, empty directory (drive roots have no "." entry to list).
    if (error == ERROR_FILE_NOT_FOUND && is_dir(path)) return std::vector<std::string>{};
    return std::unexpected(IoError::from_win32(error));
  }
  std::vector<std::string> names;
  do {
    std::string name = from_wide_lossy(wide_view(entry.cFileName));
    if (name != "." && name != "..") names.push_back(std::move(name));
  } while (FindNextFileW(find.get(), &entry));
  if (GetLastError() != ERROR_NO_MORE_FILES) return std::unexpected(IoError::from_last_error());
  return names;
}

std::expected<void, IoError> remove_file(std::string_view path) {
  if (!DeleteFileW(to_wide_nul(path).c_str())) return std::unexpected(IoError::from_last_error());
  return {};
}

std::expected<unique_handle, IoError> open_unfollowed(std::string_view path, DWORD access) {
  // Backup semantics let a folder open too, so that it can be told apart rather than refused.
  unique_handle object(
      CreateFileW(to_wide_nul(path).c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!object) return std::unexpected(IoError::from_last_error());
  return object;
}

std::expected<void, RemoveError> remove_regular_file(std::string_view path) {
  auto file = open_unfollowed(path, DELETE | FILE_READ_ATTRIBUTES);
  if (!file) return std::unexpected(file.error());
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file->get(), &info)) {
    return std::unexpected(IoError::from_last_error());
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    return std::unexpected(NotARegularFile{"a link"});
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    return std::unexpected(NotARegularFile{"a directory"});
  }
  // The member is not named: the SDK turns DeleteFile into a macro.
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!SetFileInformationByHandle(file->get(), FileDispositionInfo, &disposition,
                                  sizeof disposition)) {
    return std::unexpected(IoError::from_last_error());
  }
  return {};
}

bool exists(std::string_view path) {
  return attributes(path) != INVALID_FILE_ATTRIBUTES;
}

bool is_dir(std::string_view path) {
  const DWORD a = attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace tavo::fs
