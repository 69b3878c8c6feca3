#include "runtime/progress.h"

#include <gtest/gtest.h>

namespace tavo {
namespace {

std::size_t columns(const std::string& text) {
  std::size_t count = 0;
  for (char c : text)
    count += (static_cast<unsigned char>(c) & 0xC0) == 0x80 ? 0 : 1;
  return count;
}

// A line longer than the console's row could not be written over: the start of what it shows
// gives way, whole characters at a time, and the end that tells one step from the next stays.
TEST(ProgressText, FitsSeventyNineColumnsKeepingTheEnd) {
  EXPECT_EQ(progress_text(3, 20, "icacls C:\\Tools"), "[3/20] icacls C:\\Tools");
  const std::string fits = "icacls C:\\" + std::string(62, 'x');
  EXPECT_EQ(progress_text(3, 20, fits), "[3/20] " + fits);
  const std::string line =
      progress_text(10, 20, "icacls C:\\" + std::string(60, 'x') + "\\\xC3\xBC\xC3\xBC\\bin");
  EXPECT_EQ(columns(line), 79u);
  EXPECT_TRUE(line.starts_with("[10/20] ...\\xxx")) << line;
  EXPECT_TRUE(line.ends_with("x\\\xC3\xBC\xC3\xBC\\bin")) << line;
}

}  // namespace
}  // namespace tavo
