// Quoting of command-line words: the forms the launch writes. That any list of words comes back
// unchanged from the C runtime's splitting is the fuzz target fuzz_quote_arg's property.
#include <gtest/gtest.h>

#include "base/quoting.h"

namespace tavo {
namespace {

TEST(QuoteArg, LeavesPlainWordsAndQuotesTheRest) {
  EXPECT_EQ(quote_arg("tool"), "tool");
  EXPECT_EQ(quote_arg("a\\\\b"), "a\\\\b");  // backslashes before no quote stay as they are
  EXPECT_EQ(quote_arg(""), "\"\"");
  EXPECT_EQ(quote_arg("a b"), "\"a b\"");
  EXPECT_EQ(quote_arg("tab\there"), "\"tab\there\"");
  EXPECT_EQ(quote_arg("x\"y"), "\"x\\\"y\"");
  // a, two backslashes, a quote, b: five backslashes before the inner quote.
  EXPECT_EQ(quote_arg("a\\\\\"b"), "\"a\\\\\\\\\\\"b\"");
  // A trailing backslash is doubled only because the closing quote follows it.
  EXPECT_EQ(quote_arg("C:\\Program Files\\dir\\"), "\"C:\\Program Files\\dir\\\\\"");
  EXPECT_EQ(quote_arg("line\nfeed"), "line\nfeed");  // nothing special about line feeds
}

TEST(QuoteArg, CommandLineIsTheCommandAndEachQuotedArgument) {
  EXPECT_EQ(command_line("tool", {"a b", "", "x\"y", "C:\\Program Files\\dir\\"}),
            "tool \"a b\" \"\" \"x\\\"y\" \"C:\\Program Files\\dir\\\\\"");
  EXPECT_EQ(command_line("tool", {}), "tool");
  EXPECT_EQ(command_line("C:\\Program Files\\tool.exe", {"-v"}),
            "\"C:\\Program Files\\tool.exe\" -v");
  // The program word takes no escapes: its backslashes stay single before the closing quote,
  // and a double quote in it cannot be written.
  EXPECT_EQ(command_line("C:\\my tools\\", {}), "\"C:\\my tools\\\"");
  EXPECT_EQ(command_line("", {}), "\"\"");
  EXPECT_EQ(command_line("a\"b c", {"x"}), std::nullopt);
}

}  // namespace
}  // namespace tavo
