#include "utf8_lossy.h"

#include <gtest/gtest.h>

namespace tavo {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Utf8Lossy, KeepsValidTextAndReplacesEachInvalidSequenceOnce) {
  EXPECT_EQ(utf8_lossy("plain \xC3\xA9 \xF0\x9F\x98\x80"), "plain \xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(utf8_lossy("a\xFF"
                       "b"),
            "a" + kFffd + "b");
  // A sequence cut short is one replacement, however much of it was there.
  EXPECT_EQ(utf8_lossy("a\xE2\x82"
                       "b"),
            "a" + kFffd + "b");
  EXPECT_EQ(utf8_lossy("a\xF0\x9F\x98"), "a" + kFffd);
  // Stray continuation bytes, overlong forms and surrogates: one replacement per byte that
  // could not have started or continued a valid sequence.
  EXPECT_EQ(utf8_lossy("\x80\x80"), kFffd + kFffd);
  EXPECT_EQ(utf8_lossy("\xC0\xAF"), kFffd + kFffd);
  EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), kFffd + kFffd + kFffd);
  EXPECT_EQ(utf8_lossy("\xF4\x90\x80\x80"), kFffd + kFffd + kFffd + kFffd);
}

}  // namespace
}  // namespace tavo
