// The usage text against the parser: it names every word the parser takes and no other, and each
// of its examples is a command line of the mode it illustrates.
#include "usage.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "base/format.h"
#include "cli.h"
#include "cli_table.h"
#include "support/machine.h"

namespace tavo {
namespace {

// The words of the text that begin with '-', as an option or a flag would be written in it.
std::set<std::string> dashed_words(const std::string& text) {
  std::set<std::string> found;
  std::istringstream in(text);
  for (std::string word; in >> word;) {
    word.erase(0, word.find_first_not_of("[(\""));
    word.erase(word.find_last_not_of(",;:.)]\"") + 1);
    if (word.starts_with('-')) found.insert(word);
  }
  return found;
}

std::set<std::string> table_words() {
  std::set<std::string> words = {std::string(cli::kEndOfOptions)};
  for (const cli::ModeRow& mode : cli::modes()) {
    for (std::string_view flag : {mode.flag, mode.alias}) {
      if (!flag.empty()) words.emplace(flag);
    }
  }
  for (const cli::OptionRow& option : cli::options())
    words.emplace(option.name);
  return words;
}

std::string rejection(const std::vector<std::string>& arguments) {
  auto parsed = parse_args(arguments);
  return parsed ? "" : parsed.error();
}

// The parser takes every word of its table as what the table says it is, and the usage text names
// exactly those words.
TEST(Usage, NamesEveryWordTheParserTakesAndNoOther) {
  const std::set<std::string> words = table_words();
  EXPECT_EQ(dashed_words(usage_text()), words);
  for (const cli::OptionRow& option : cli::options())
    EXPECT_EQ(rejection({"x", std::string(option.name)}),
              format("{} requires a value", option.name));
  for (const cli::ModeRow& mode : cli::modes()) {
    for (std::string_view flag : {mode.flag, mode.alias}) {
      if (flag.empty()) continue;
      EXPECT_FALSE(
          rejection({"x", "--profile-name", "p", std::string(flag)}).starts_with("unknown"))
          << flag;
    }
  }
}

// The mode of each alternative of Command, in the variant's order.
constexpr cli::Mode kModeOf[] = {cli::Mode::Probe,        cli::Mode::Run,
                                 cli::Mode::Cleanup,      cli::Mode::RegisterSandboxProfile,
                                 cli::Mode::RegisterPool, cli::Mode::CheckPoolVersion,
                                 cli::Mode::Help,         cli::Mode::Version};
static_assert(std::size(kModeOf) == std::variant_size_v<Command>);

// The pool examples read PROGRAMDATA for the default pool directory.
class UsageExamples : public testing::MachineTest {};

TEST_F(UsageExamples, EachIsACommandLineOfItsMode) {
  const std::string text = usage_text();
  for (const cli::ModeRow& mode : cli::modes()) {
    EXPECT_NE(text.find(format("  tavo-sandbox {}\n", mode.example)), std::string::npos);
    std::vector<std::string> arguments = {"tavo-sandbox"};
    std::istringstream in{std::string(mode.example)};
    for (std::string word; in >> word;)
      arguments.push_back(word);
    auto parsed = parse_args(arguments);
    ASSERT_TRUE(parsed) << mode.example << ": " << parsed.error();
    EXPECT_EQ(kModeOf[parsed->index()], mode.mode) << mode.example;
  }
}

}  // namespace
}  // namespace tavo
