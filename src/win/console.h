// Writing to this process's standard output and standard error.
#pragma once

#include <string_view>

namespace tavo::console {

enum class Stream { Out, Err };

// Whether the stream is a console, not a pipe, a file or another device. The NUL device is a
// character device as a console is, so only a console call tells them apart.
bool is_console(Stream stream);

// Writes the text with one call: as UTF-16 through WriteConsoleW when the stream is a console
// (so that non-ASCII text shows correctly), as its UTF-8 bytes otherwise. False when the stream
// is missing or the write failed.
bool write(Stream stream, std::string_view utf8);

}  // namespace tavo::console
