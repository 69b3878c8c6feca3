#include "base/quoting.h"

namespace tavo {

std::string quote_arg(std::string_view word) {
  if (!word.empty() && word.find_first_of(" \t\"") == std::string_view::npos)
    return std::string(word);
  std::string out = "\"";
  std::size_t backslashes = 0;  // seen in a row, not written yet
  for (char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(2 * backslashes + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    out.push_back(c);
    backslashes = 0;
  }
  out.append(2 * backslashes, '\\');
  out.push_back('"');
  return out;
}

std::optional<std::string> command_line(std::string_view command,
                                        const std::vector<std::string>& args) {
  // A quote in the first word ends the program name early: the platform would start another
  // program, with the rest of the name as its arguments.
  if (command.find('"') != std::string_view::npos) return std::nullopt;
  std::string line(command);
  if (command.empty() || command.find_first_of(" \t") != std::string_view::npos) {
    line = "\"" + line + "\"";
  }
  for (const std::string& arg : args) {
    line.push_back(' ');
    line += quote_arg(arg);
  }
  return line;
}

}  // namespace tavo
