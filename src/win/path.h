// Lexical operations on Windows paths: prefixes (X:, \\server\share, \\?\..., \\.\...), the
// root separator and components, with '\' and '/' both separators (only '\' in \\?\ paths).
// Nothing here touches the file system.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavo::path {

// The path without its last component: "C:\Users\ann" -> "C:\Users", "C:\Users" -> "C:\",
// "a" -> "" (the empty path). Nothing for a path that is only a prefix and/or root ("C:\",
// "\\?\C:\", "\\server\share\", "/") and for the empty path.
std::optional<std::string> parent(std::string_view path);

// The last component when it is a name (not "..", not a prefix or root).
std::optional<std::string> file_name(std::string_view path);

// The extension of the file name: after its last dot, unless the name has no dot or its only
// dot is the first character (".dat" has none). "b." has the empty extension.
std::optional<std::string> extension(std::string_view path);

// `name` appended to `base` with one separator between them where needed. An absolute `name`
// replaces `base`; after a bare drive ("C:") no separator is added.
std::string join(std::string_view base, std::string_view name);

// True when the path has a root separator or a prefix other than a bare drive letter
// ("C:\x", "\x", "\\server\share", "\\?\C:\x", "/x"), false for "C:x", "C:" and "x".
bool is_absolute(std::string_view path);

}  // namespace tavo::path
