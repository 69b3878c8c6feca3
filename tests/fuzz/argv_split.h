// The C runtime's splitting of a Windows command line into words: the reference that the quoting
// of the launch's command line is checked against.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavo::fuzz {

// The first word takes quotes only as grouping; the others follow the backslash-and-quote rules
// (2n backslashes and a quote: n backslashes, the quote toggles quoting; 2n+1: n backslashes and
// a literal quote; backslashes elsewhere are literal). Space and tab separate words.
std::vector<std::string> split_command_line(std::string_view line);

}  // namespace tavo::fuzz
