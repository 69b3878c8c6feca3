// Decoding bytes that should be UTF-8 but may not be (the output of other programs).
#pragma once

#include <string>
#include <string_view>

namespace tavo {

// The bytes as UTF-8, each invalid sequence replaced by one U+FFFD: a byte that cannot begin a
// sequence, or the longest start of a sequence that is cut short.
std::string utf8_lossy(std::string_view bytes);

}  // namespace tavo
