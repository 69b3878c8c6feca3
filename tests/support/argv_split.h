// The C runtime's splitting of a Windows command line into words, for tests that check quoting
// round trips in every build.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavo::testing {

// The first word takes quotes only as grouping; the others follow the backslash-and-quote rules
// (2n backslashes and a quote: n backslashes, the quote toggles quoting; 2n+1: n backslashes and
// a literal quote; backslashes elsewhere are literal). Space and tab separate words.
std::vector<std::string> split_command_line(std::string_view line);

}  // namespace tavo::testing
