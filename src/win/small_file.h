// Reading a small file that someone else may have put in place: only a regular file is read, and
// only up to a limit, so that a device, a pipe or a huge file can neither hold the program up nor
// fill its memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "win/api.h"
#include "win/error.h"
#include "win/fs.h"
#include "win/unique.h"

namespace tavo::fs {

// A regular file larger than the limit, with its size.
struct FileTooLarge {
  std::uint64_t size;
};
using SmallFileError = std::variant<IoError, NotARegularFile, FileTooLarge>;

// The whole of a regular file of at most `max_bytes` bytes, as UTF-8 text. Anything else is
// refused before a byte of it is read; text that is not UTF-8 is IoError::invalid_utf8().
std::expected<std::string, SmallFileError> read_small_text_file(std::string_view path,
                                                                std::size_t max_bytes);

// The same for a file already held open with GENERIC_READ (not with backup semantics, which
// would let a directory open), read from where the handle stands.
std::expected<std::string, SmallFileError> read_small_text_from(HANDLE file, std::size_t max_bytes);

// Opens a file of the program's own (a journal, a ledger) to be judged and then read through the
// same handle: with GENERIC_READ, READ_CONTROL and FILE_READ_ATTRIBUTES, its final link not
// followed, and not with backup semantics, so that a folder or a link by its name is refused
// rather than read.
std::expected<unique_handle, IoError> open_own_file(std::string_view path);

// Why such a file was not read, worded to follow its name: the platform's message, "it is a
// directory, not a regular file" or "it is larger than MAX bytes (SIZE bytes)".
std::string own_file_failure(const SmallFileError& error, std::size_t max_bytes);

}  // namespace tavo::fs
