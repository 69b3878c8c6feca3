// Quoting for the command line, given any words: the command line the launch builds must split,
// by the C runtime's rules, back into exactly the command and the arguments. The program word
// follows the platform's rule for the first word (quotes only group, backslashes are plain), so
// a command holding a double quote cannot be written at all and must be refused.
#include <cstdint>
#include <string>
#include <vector>

#include "argv_split.h"
#include "base/quoting.h"
#include "finding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavo::fuzz;
  // The words: NUL-separated, the first one the command. Neither can hold a NUL.
  const std::vector<std::string> words =
      split_bytes(std::string_view(reinterpret_cast<const char*>(data), size), '\0');
  const std::vector<std::string> args(words.begin() + 1, words.end());
  const std::optional<std::string> line = tavo::command_line(words[0], args);
  if (words[0].find('"') != std::string::npos) {
    if (line) finding("a command with a double quote is refused", words[0]);
    return 0;
  }
  if (!line) finding("a command without a double quote is written", words[0]);
  const std::vector<std::string> split = split_command_line(*line);
  if (split != words) {
    finding("the words come back from the command line",
            "words: " + show(words) + "\nline: [" + *line + "]\nsplit: " + show(split));
  }
  return 0;
}
