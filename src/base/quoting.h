// Command lines made from words, as the C runtime of the started program splits them back.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavo {

// One word of a command line, quoted so that the C runtime's splitting gives it back unchanged.
std::string quote_arg(std::string_view word);

// The program word, then a space and quote_arg(arg) for each argument. The program word follows
// the platform's rule for the first word of a command line, where quotes only group and
// backslashes are plain: the command as it is, enclosed in quotes when it is empty or holds a
// space or tab. A command holding a double quote cannot be written so that it comes back whole:
// nothing.
std::optional<std::string> command_line(std::string_view command,
                                        const std::vector<std::string>& args);

}  // namespace tavo
