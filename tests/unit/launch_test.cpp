// What a launch writes and returns: the command line the platform splits back into the words,
// and the command's exit code as the program's status.
#include <gtest/gtest.h>

#include "base/quoting.h"
#include "runtime/exit_status.h"

namespace tavo {
namespace {

// That any list of words comes back unchanged from the C runtime's splitting is the property of
// the fuzz target fuzz_quote_arg; these are the forms it writes.
TEST(CommandLine, QuotesOnlyWhatNeedsItAndThePlatformsFirstWordRule) {
  const std::pair<const char*, const char*> words[] = {
      {"tool", "tool"},
      {"a\\\\b", "a\\\\b"},  // backslashes before no quote stay as they are
      {"", "\"\""},
      {"tab\there", "\"tab\there\""},
      {"line\nfeed", "line\nfeed"},
      {"x\"y", "\"x\\\"y\""},
      {"a\\\\\"b", "\"a\\\\\\\\\\\"b\""},      // two backslashes and a quote: five and the quote
      {"C:\\my dir\\", "\"C:\\my dir\\\\\""},  // doubled only before the closing quote
  };
  for (const auto& [word, quoted] : words)
    EXPECT_EQ(quote_arg(word), quoted) << word;
  EXPECT_EQ(command_line("tool", {"a b", "", "C:\\my dir\\"}),
            "tool \"a b\" \"\" \"C:\\my dir\\\\\"");
  // The program word takes no escapes: its backslashes stay single before the closing quote,
  // and a double quote in it cannot be written.
  EXPECT_EQ(command_line("C:\\my tools\\", {"-v"}), "\"C:\\my tools\\\" -v");
  EXPECT_EQ(command_line("", {}), "\"\"");
  EXPECT_EQ(command_line("a\"b c", {"x"}), std::nullopt);
}

// The low byte, except that a failing code whose low byte is zero must not read as success, and
// an NTSTATUS (a crash) is a launch failure.
TEST(CommandLine, TheExitCodeBecomesTheStatus) {
  const std::pair<std::uint32_t, int> cases[] = {
      {0, 0},
      {3, 3},
      {255, 255},
      {300, 44},
      {256, 1},
      {0x7FFFFF00u, 1},
      {0x7FFFFFFFu, 255},
      {0x80000000u, kStatusLaunch},
      {0xC0000005u, kStatusLaunch},
      {0xFFFFFFFFu, kStatusLaunch},
  };
  for (const auto& [code, status] : cases)
    EXPECT_EQ(command_exit_status(code), status) << code;
}

}  // namespace
}  // namespace tavo
