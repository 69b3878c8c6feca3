// Text helpers over UTF-8 strings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavo {

bool is_valid_utf8(std::string_view text);

// Decodes the UTF-8 sequence that starts at text[i] into `out`. Returns its length in bytes, or
// 0 when the bytes there are not a valid sequence.
std::size_t decode_utf8(std::string_view text, std::size_t i, char32_t& out);
void append_utf8(std::string& out, char32_t c);

// 'A' to 'Z' and 'a' to 'z': the letters a drive may have.
bool is_ascii_letter(char c);

// Removes Unicode White_Space (space, tab, CR, LF, NEL, no-break space, ...) from both ends.
// A byte-order mark is not white space and stays.
std::string_view trim_white_space(std::string_view text);

// The longest start of `text` of at most `max_bytes` bytes that does not end inside a UTF-8
// sequence.
std::string_view utf8_prefix(std::string_view text, std::size_t max_bytes);

// An unsigned decimal as the program accepts it: an optional single "+", then one or more ASCII
// digits, nothing else, at most 4294967295.
std::optional<std::uint32_t> parse_u32(std::string_view text);

}  // namespace tavo
