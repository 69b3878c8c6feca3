#include "win/small_file.h"

#include <algorithm>

#include "base/format.h"
#include "base/text.h"
#include "win/fs.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo::fs {
namespace {

// What GetFileType says of an open file: nothing for a disk file, which is read.
std::expected<void, SmallFileError> require_disk_file(HANDLE file) {
  // FILE_TYPE_UNKNOWN is a failure only when the call sets an error: start from none.
  SetLastError(ERROR_SUCCESS);
  switch (GetFileType(file)) {
    case FILE_TYPE_DISK:
      return {};
    case FILE_TYPE_CHAR:
      return std::unexpected(NotARegularFile{"a character device"});
    case FILE_TYPE_PIPE:
      return std::unexpected(NotARegularFile{"a pipe"});
    default:
      if (GetLastError() != ERROR_SUCCESS) return std::unexpected(IoError::from_last_error());
      return std::unexpected(NotARegularFile{"a file of unknown type"});
  }
}

std::expected<std::uint64_t, SmallFileError> size_of(HANDLE file) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) return std::unexpected(IoError::from_last_error());
  return static_cast<std::uint64_t>(size.QuadPart);
}

}  // namespace

std::expected<std::string, SmallFileError> read_small_text_file(std::string_view path,
                                                                std::size_t max_bytes) {
  unique_handle file(CreateFileW(to_wide_nul(path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    // A directory opens only with backup semantics, which could bypass the file's DACL for a
    // caller holding the backup privilege: ask what the path is instead.
    if (error == ERROR_ACCESS_DENIED && is_dir(path)) {
      return std::unexpected(NotARegularFile{"a directory"});
    }
    return std::unexpected(IoError::from_win32(error));
  }
  return read_small_text_from(file.get(), max_bytes);
}

std::expected<std::string, SmallFileError> read_small_text_from(HANDLE file,
                                                                std::size_t max_bytes) {
  if (auto disk = require_disk_file(file); !disk) return std::unexpected(disk.error());
  auto size = size_of(file);
  if (!size) return std::unexpected(size.error());
  if (*size > max_bytes) return std::unexpected(FileTooLarge{*size});

  // The file may grow after its size was read: never take in more than its size and one byte,
  // nor more than the limit and one byte.
  std::string content(static_cast<std::size_t>(*size) + 1, '\0');
  std::size_t filled = 0;
  while (filled < content.size()) {
    const std::size_t wanted = std::min<std::size_t>(content.size() - filled, 1 << 20);
    DWORD read = 0;
    if (!ReadFile(file, content.data() + filled, static_cast<DWORD>(wanted), &read, nullptr)) {
      return std::unexpected(IoError::from_last_error());
    }
    if (read == 0) break;
    filled += read;
  }
  if (filled > max_bytes) {
    auto grown = size_of(file);
    return std::unexpected(FileTooLarge{grown ? *grown : filled});
  }
  content.resize(filled);
  if (!is_valid_utf8(content)) return std::unexpected(IoError::invalid_utf8());
  return content;
}

std::expected<unique_handle, IoError> open_own_file(std::string_view path) {
  unique_handle file(CreateFileW(to_wide_nul(path).c_str(),
                                 GENERIC_READ | READ_CONTROL | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return std::unexpected(IoError::from_last_error());
  return file;
}

std::string own_file_failure(const SmallFileError& error, std::size_t max_bytes) {
  if (const auto* io = std::get_if<IoError>(&error)) return io->display();
  if (const auto* other = std::get_if<NotARegularFile>(&error)) {
    return format("it is {}, not a regular file", other->what);
  }
  return format("it is larger than {} bytes ({} bytes)", max_bytes,
                std::get<FileTooLarge>(error).size);
}

}  // namespace tavo::fs
