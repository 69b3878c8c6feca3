#include "debug_text.h"

#include <gtest/gtest.h>

namespace tavo {
namespace {

TEST(DebugText, OptionalStringsReadAsNoneOrSomeWithEscapes) {
  EXPECT_EQ(debug_optional(std::nullopt), "None");
  EXPECT_EQ(debug_optional(""), "Some(\"\")");
  EXPECT_EQ(debug_optional("C:\\work\\proj"), "Some(\"C:\\\\work\\\\proj\")");
  EXPECT_EQ(debug_optional("say \"hi\""), "Some(\"say \\\"hi\\\"\")");
  EXPECT_EQ(debug_optional("a\tb\r\nc"), "Some(\"a\\tb\\r\\nc\")");
  EXPECT_EQ(debug_optional(std::string("nul\0end", 7)), "Some(\"nul\\0end\")");
  EXPECT_EQ(debug_optional("bell\x07 del\x7F c1\xC2\x85"),
            "Some(\"bell\\u{7} del\\u{7f} c1\\u{85}\")");
  // Quotes of the other kind and printable non-ASCII text stay as they are.
  EXPECT_EQ(debug_optional("it's \xC3\xA9t\xC3\xA9"), "Some(\"it's \xC3\xA9t\xC3\xA9\")");
}

}  // namespace
}  // namespace tavo
