// File operations done with Win32 calls, so that every failure carries its Win32 error.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "win/error.h"
#include "win/security_descriptor.h"
#include "win/unique.h"

namespace tavo::fs {

// The whole file as UTF-8 text; text that is not UTF-8 is the "stream did not contain valid
// UTF-8" error.
std::expected<std::string, IoError> read_text_file(std::string_view path);

// Creates the file or truncates it, then writes `bytes` in full. A file whose writing fails is
// removed rather than left behind cut short. With `security`, the file ends up with its owner
// and DACL, whether it was new or not.
std::expected<void, IoError> write_file(std::string_view path, std::string_view bytes,
                                        const SddlDescriptor* security = nullptr);

// The steps of write_file, for callers that report them apart: creating (or truncating) the
// file for writing, writing all of `bytes` to an open file, and, once the file is closed after
// a failed write, removing what was written of it.
std::expected<unique_handle, IoError> create_file(std::string_view path,
                                                  const SddlDescriptor* security = nullptr);
std::expected<void, IoError> write_all(HANDLE file, std::string_view bytes);
void discard_partial_file(std::string_view path);

// Creates the directory and every missing ancestor, those it creates with `security` when given.
// Directories that exist are no failure, and keep their security.
std::expected<void, IoError> create_dir_all(std::string_view path,
                                            const SddlDescriptor* security = nullptr);

// The names in a directory, without "." and "..", in the platform's listing order.
std::expected<std::vector<std::string>, IoError> list_dir(std::string_view path);

std::expected<void, IoError> remove_file(std::string_view path);

// Opens a file or folder for `access` without following a final link: a link is opened itself.
std::expected<unique_handle, IoError> open_unfollowed(std::string_view path, DWORD access);

// A file that is not a regular file; `what` names it: "a directory", "a link", "a pipe", ...
struct NotARegularFile {
  std::string_view what;
};
using RemoveError = std::variant<IoError, NotARegularFile>;

// Removes `path` only when it is a regular file: the name is opened without following a link,
// judged and deleted through that one handle, so a name swapped for a link or a directory in
// between cannot turn the delete onto another object.
std::expected<void, RemoveError> remove_regular_file(std::string_view path);

// Whether the path's metadata can be read (links followed).
bool exists(std::string_view path);
// Whether the path names an existing directory (links followed).
bool is_dir(std::string_view path);

}  // namespace tavo::fs
