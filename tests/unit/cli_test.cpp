// The command line: parsed, shown in the usage text, and written for the launch.
#include "cli.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "base/format.h"
#include "base/quoting.h"
#include "cli_table.h"
#include "runtime/exit_status.h"
#include "support/env.h"
#include "support/machine.h"
#include "usage.h"

namespace tavo {
namespace {

// The words of `line`, after the program's name.
std::vector<std::string> words(std::string_view line) {
  std::vector<std::string> out = {"tavo-sandbox.exe"};
  std::istringstream in{std::string(line)};
  for (std::string word; in >> word;)
    out.push_back(word);
  return out;
}

std::string error_of(const std::vector<std::string>& arguments) {
  auto result = parse_args(arguments);
  return result ? "<parsed>" : result.error();
}

template <class T>
T as(const std::vector<std::string>& arguments) {
  auto result = parse_args(arguments);
  if (!result || !std::holds_alternative<T>(*result)) {
    ADD_FAILURE() << (result ? "another mode" : result.error());
    return T{};
  }
  return std::get<T>(*result);
}

// The messages no other test shows (the end-to-end tests show some, the usage test the others).
TEST(ParseArgs, EveryRejectionHasItsMessage) {
  const std::pair<const char*, const char*> cases[] = {
      {"--network-mode Default_Blocked", "unknown network-mode: Default_Blocked"},
      {"run", "unknown argument: run"},
      {"--cleanup", "--cleanup requires --profile-name"},
      {"--register-sandbox-profile --sid-out-file f",
       "--register-sandbox-profile requires --profile-name"},
      {"--register-sandbox-profile --profile-name p",
       "--register-sandbox-profile requires --sid-out-file (path to write the SID's SDDL string)"},
      {"--register-pool --pool-size 0", "pool-size must be 1..=10, got 0"},
      {"--profile-name p", "missing `-- <command> [args...]`"},
      {"--profile-name p --", "`-- <command>` requires at least the command"},
      {"--cleanup --profile-name p --revoke-all", "--revoke-all requires --sandbox-sid-file"},
  };
  for (const auto& [line, message] : cases)
    EXPECT_EQ(error_of(words(line)), message) << line;
}

// The first of the modes that answer alone wins over any refused word (more: fuzz_command_line).
TEST(ParseArgs, AModeThatAnswersAloneWinsOverAnyRefusedWord) {
  EXPECT_TRUE(std::holds_alternative<Help>(*parse_args(words("--cleanup -h --bogus"))));
  EXPECT_TRUE(std::holds_alternative<Version>(*parse_args(words("--pool-size x --version"))));
  EXPECT_TRUE(std::holds_alternative<Probe>(*parse_args(words("--help --probe"))));
}

// One optional '+', then digits that fit 32 bits; the pool size's range counts in its mode only.
TEST(ParseArgs, ANumberIsOnePlusThenDigitsThatFit) {
  EXPECT_EQ(as<RegisterPool>(words("--register-pool --pool-size +7 --pool-dir d")).pool_size, 7u);
  EXPECT_EQ(as<RegisterPool>(words("--register-pool --pool-size 10 --pool-dir d")).pool_size, 10u);
  for (const char* bad : {"-1", " 4", "4294967296", "", "+", "++1", "0x4", "4 "}) {
    EXPECT_EQ(error_of({"x", "--register-pool", "--pool-size", bad}),
              std::string("bad pool-size: ") + bad);
  }
  EXPECT_EQ(as<tavo::Run>(words("--pool-size 4294967295 --proxy-port 65535 --proxy-port +0 "
                                "--profile-name p -- x"))
                .command,
            "x");
  for (const char* bad : {"65536", "+", "", "-1"})
    EXPECT_EQ(error_of({"x", "--proxy-port", bad}), std::string("bad proxy-port: ") + bad);
}

TEST(ParseArgs, TheLastNetworkModeCounts) {
  EXPECT_EQ(as<tavo::Run>(words("--profile-name p -- x")).network_mode,
            NetworkMode::DefaultBlocked);
  EXPECT_EQ(as<tavo::Run>(words("--network-mode common_dependencies --network-mode default_allowed "
                                "--profile-name p -- x"))
                .network_mode,
            NetworkMode::DefaultAllowed);
}

// A cleanup keeps its revokes in order; a switch takes no value: the word after it is an option.
TEST(ParseArgs, EachOptionKeepsWhatItWasGiven) {
  Cleanup cleanup = as<Cleanup>(
      words("--cleanup --profile-name p --revoke a --revoke b --sandbox-sid-file s -- x"));
  EXPECT_EQ(cleanup.revoke, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(cleanup.sandbox_sid_file, "s");
  EXPECT_FALSE(cleanup.revoke_all);
  cleanup = as<Cleanup>(words("--cleanup --revoke-all --profile-name p --sandbox-sid-file s"));
  EXPECT_TRUE(cleanup.revoke_all);
  EXPECT_EQ(cleanup.profile_name, "p");
  ListEntries list = as<ListEntries>(words("--list-entries --sandbox-sid-file s --grant-r x"));
  EXPECT_EQ(list.sandbox_sid_file, "s");
  EXPECT_EQ(list.profile_name, std::nullopt);
}

// The pool modes' defaults; PROGRAMDATA gives the pool directory, read when the command line is.
class ParseArgsWithEnvironment : public testing::MachineTest {};

TEST_F(ParseArgsWithEnvironment, ThePoolOptionsHaveDefaults) {
  testing::ScopedEnv data("PROGRAMDATA", "D:\\Data");
  EXPECT_EQ(as<CheckPoolVersion>(words("--check-pool-version")).pool_dir, "D:\\Data\\Tavo\\pool");
  EXPECT_EQ(as<RegisterPool>(words("--register-pool")).pool_size, 4u);
  testing::set_env("PROGRAMDATA", std::nullopt);
  EXPECT_EQ(as<CheckPoolVersion>(words("--check-pool-version")).pool_dir,
            "C:\\ProgramData\\Tavo\\pool");
  testing::set_env("PROGRAMDATA", "");
  EXPECT_EQ(as<CheckPoolVersion>(words("--check-pool-version")).pool_dir, "\\Tavo\\pool");
}

// Each example is shown, and is a command line of its own mode.
TEST(Usage, EachExampleIsACommandLineOfItsMode) {
  const std::string text = usage_text();
  const std::map<cli::Mode, Command> kind = {
      {cli::Mode::Probe, Probe{}},
      {cli::Mode::Help, Help{}},
      {cli::Mode::Version, Version{}},
      {cli::Mode::Cleanup, Cleanup{}},
      {cli::Mode::RegisterSandboxProfile, RegisterSandboxProfile{}},
      {cli::Mode::RegisterPool, RegisterPool{}},
      {cli::Mode::CheckPoolVersion, CheckPoolVersion{}},
      {cli::Mode::ListEntries, ListEntries{}},
      {cli::Mode::Run, tavo::Run{}}};
  for (const cli::ModeRow& mode : cli::modes()) {
    EXPECT_NE(text.find(format("  tavo-sandbox {}\n", mode.example)), std::string::npos);
    auto parsed = parse_args(words(mode.example));
    ASSERT_TRUE(parsed) << mode.example << ": " << parsed.error();
    EXPECT_EQ(parsed->index(), kind.at(mode.mode).index()) << mode.example;
  }
}

// The parser takes every word of its table as what the table says it is, the usage text names
// exactly those words, and the parser's sources spell no option or flag outside the table: a word
// added to the parser alone fails here.
TEST(Usage, NamesExactlyTheWordsTheParserTakes) {
  std::set<std::string> table = {std::string(cli::kEndOfOptions)};
  for (const cli::OptionRow& option : cli::options()) {
    table.emplace(option.name);
    // A switch takes no value: standing last, it leaves the command line to the next check.
    EXPECT_EQ(error_of({"x", std::string(option.name)}),
              option.value.empty() ? std::string("--profile-name is required")
                                   : format("{} requires a value", option.name));
  }
  for (const cli::ModeRow& mode : cli::modes()) {
    for (std::string_view flag : {mode.flag, mode.alias}) {
      if (flag.empty()) continue;
      table.emplace(flag);
      EXPECT_FALSE(error_of({"x", "--profile-name", "p", std::string(flag)}).starts_with("unknown"))
          << flag;
    }
  }
  std::set<std::string> in_text;
  std::istringstream text(usage_text());
  for (std::string word; text >> word;) {
    word.erase(0, word.find_first_not_of("[(\""));
    word.erase(word.find_last_not_of(",;:.)]\"") + 1);
    if (word.starts_with('-')) in_text.insert(word);
  }
  EXPECT_EQ(in_text, table);
  const std::regex word_literal("\"(-{1,2}[a-z][-a-z]*)\"");
  std::size_t sources = 0;
  for (const auto& entry : std::filesystem::directory_iterator(TAVO_SOURCE_DIR "/src")) {
    if (!entry.path().filename().string().starts_with("cli")) continue;
    ++sources;
    std::ifstream file(entry.path());
    const std::string source((std::istreambuf_iterator<char>(file)), {});
    for (std::sregex_iterator it(source.begin(), source.end(), word_literal), end; it != end; ++it)
      EXPECT_TRUE(table.contains((*it)[1])) << (*it)[1] << " in " << entry.path();
  }
  EXPECT_GE(sources, 2u);
}

// That the words come back from the C runtime's splitting is fuzz_quote_arg's property.
TEST(CommandLine, QuotesOnlyWhatNeedsIt) {
  const std::pair<const char*, const char*> words[] = {
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
}

TEST(CommandLine, TheProgramWordTakesNoEscapes) {
  // The program word takes no escapes, so a double quote in it cannot be written.
  EXPECT_EQ(command_line("C:\\my tools\\", {"-v"}), "\"C:\\my tools\\\" -v");
  EXPECT_EQ(command_line("", {}), "\"\"");
  EXPECT_EQ(command_line("a\"b c", {"x"}), std::nullopt);
}

// The low byte, but a failure never reads as success, and an NTSTATUS (a crash) fails the launch.
TEST(CommandLine, TheExitCodeBecomesTheStatus) {
  const std::pair<std::uint32_t, int> cases[] = {
      {0, 0},
      {300, 44},
      {256, 1},
      {0x7FFFFFFFu, 255},
      {0x80000000u, kStatusLaunch},
      {0xC0000005u, kStatusLaunch},
  };
  for (const auto& [code, status] : cases)
    EXPECT_EQ(command_exit_status(code), status) << code;
}

}  // namespace
}  // namespace tavo
