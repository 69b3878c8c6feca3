// Unicode case conversion of UTF-8 text.
#pragma once

#include <string>
#include <string_view>

namespace tavo {

// Full Unicode lower-casing: a character may become several (U+0130 becomes "i" and U+0307), and
// capital sigma becomes final sigma at the end of a word and small sigma elsewhere. No language
// rules apply. Bytes that are not UTF-8 are copied as they are.
std::string to_lowercase(std::string_view utf8);

}  // namespace tavo
