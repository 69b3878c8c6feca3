// The command-line parser, given any argument list: UTF-8 words as the native entry point gets
// them, or UTF-16 words as the Windows entry point does (decoded strictly; a list the entry point
// would refuse is skipped). A reference walk of the option grammar says where the options end
// and which words stand where an option name may stand; the parse must agree:
// - "--probe" standing there gives the probe, and nothing else does; then "--help" or "-h" gives
//   the help, then "--version" the version: these three answer whatever else the list holds;
// - otherwise the mode is the first of --cleanup, --register-sandbox-profile, --register-pool,
//   --check-pool-version standing there, or a run;
// - a parsed run's command and arguments are exactly the words after the separator, and its
//   option values the ones the walk took.
#include <winsim/testing.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/text.h"
#include "cli.h"
#include "finding.h"
#include "win/wide.h"

namespace tavo::fuzz {
namespace {

constexpr std::array<std::string_view, 12> kOptionNames = {
    "--pool-size",    "--pool-dir",     "--sandbox-sid-file", "--sid-out-file",
    "--profile-name", "--grant-rw",     "--grant-r",          "--deny-access",
    "--revoke",       "--network-mode", "--proxy-port",       "--cwd"};
constexpr std::array<std::string_view, 4> kModesByPrecedence = {
    "--cleanup", "--register-sandbox-profile", "--register-pool", "--check-pool-version"};

bool names_option(std::string_view word) {
  return std::find(kOptionNames.begin(), kOptionNames.end(), word) != kOptionNames.end();
}

struct Walk {
  std::vector<std::string> in_name_position;               // mode flags, and any stray word
  std::map<std::string, std::vector<std::string>> values;  // every value of each option, in order
  std::optional<std::vector<std::string>> command;         // the words after the separator
};

Walk walk(const std::vector<std::string>& args) {
  Walk w;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (names_option(args[i])) {
      if (i + 1 < args.size()) w.values[args[i]].push_back(args[i + 1]);
      ++i;  // the value, whatever it reads
    } else if (args[i] == "--") {
      w.command.emplace(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    } else {
      w.in_name_position.push_back(args[i]);
    }
  }
  return w;
}

std::optional<std::string> last_value(const Walk& w, const std::string& option) {
  auto it = w.values.find(option);
  if (it == w.values.end() || it->second.empty()) return std::nullopt;
  return it->second.back();
}

std::vector<std::string> all_values(const Walk& w, const std::string& option) {
  auto it = w.values.find(option);
  return it == w.values.end() ? std::vector<std::string>{} : it->second;
}

// The mode the walk calls for, by its flag: "--probe", one of kModesByPrecedence, or "" for a
// run.
std::string_view expected_mode(const Walk& w) {
  auto stands = [&](std::string_view flag) {
    return std::find(w.in_name_position.begin(), w.in_name_position.end(), flag) !=
           w.in_name_position.end();
  };
  if (stands("--probe")) return "--probe";
  if (stands("--help") || stands("-h")) return "--help";
  if (stands("--version")) return "--version";
  for (std::string_view flag : kModesByPrecedence) {
    if (stands(flag)) return flag;
  }
  return "";
}

// The mode a parsed command is, by the same names.
std::string_view mode_of(const Command& command) {
  struct Name {
    std::string_view operator()(const Probe&) const { return "--probe"; }
    std::string_view operator()(const Help&) const { return "--help"; }
    std::string_view operator()(const Version&) const { return "--version"; }
    std::string_view operator()(const Cleanup&) const { return "--cleanup"; }
    std::string_view operator()(const RegisterSandboxProfile&) const {
      return "--register-sandbox-profile";
    }
    std::string_view operator()(const RegisterPool&) const { return "--register-pool"; }
    std::string_view operator()(const CheckPoolVersion&) const { return "--check-pool-version"; }
    std::string_view operator()(const Run&) const { return ""; }
  };
  return std::visit(Name{}, command);
}

void check_run(const Run& run, const Walk& w, const std::vector<std::string>& args) {
  if (!w.command || w.command->empty()) finding("a run without words after --", show(args));
  std::vector<std::string> parsed = {run.command};
  parsed.insert(parsed.end(), run.args.begin(), run.args.end());
  if (parsed != *w.command) {
    finding("a run's command and arguments are the words after --",
            "arguments: " + show(args) + "\nparsed: " + show(parsed));
  }
  if (std::optional<std::string>(run.profile_name) != last_value(w, "--profile-name") ||
      run.cwd != last_value(w, "--cwd") ||
      run.sandbox_sid_file != last_value(w, "--sandbox-sid-file") ||
      run.grant_rw != all_values(w, "--grant-rw") || run.grant_r != all_values(w, "--grant-r") ||
      run.deny_access != all_values(w, "--deny-access")) {
    finding("a run's option values are the ones given", show(args));
  }
}

void check(const std::vector<std::string>& args) {
  auto parsed = parse_args(args);
  if (args.size() < 2) {
    if (parsed) finding("no argument is an error", show(args));
    return;
  }
  const Walk w = walk(args);
  const std::string_view mode = expected_mode(w);
  if (!parsed) {
    if (mode == "--probe" || mode == "--help" || mode == "--version") {
      finding("--probe, --help and --version standing as flags always answer", show(args));
    }
    return;
  }
  if (mode_of(*parsed) != mode) {
    finding("the mode is the first flag standing as a flag",
            show(args) + "\nexpected [" + std::string(mode) + "], parsed [" +
                std::string(mode_of(*parsed)) + "]");
  }
  if (const Run* run = std::get_if<Run>(&*parsed)) check_run(*run, w, args);
}

// UTF-16 words as the Windows entry point receives them, decoded as it decodes them.
std::optional<std::vector<std::string>> utf16_words(std::string_view bytes) {
  std::vector<std::string> words;
  WideString unit_text;
  auto finish_word = [&]() -> bool {
    std::optional<std::string> word = from_wide(unit_text);
    if (!word) return false;  // not Unicode: the entry point ends the program
    if (to_wide_nul(*word) != unit_text) finding("UTF-16 words survive decoding", *word);
    words.push_back(std::move(*word));
    unit_text.clear();
    return true;
  };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<WCHAR>(static_cast<unsigned char>(bytes[i]) |
                                         static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (unit == 0) {
      if (!finish_word()) return std::nullopt;
    } else {
      unit_text.push_back(unit);
    }
  }
  if (!finish_word()) return std::nullopt;
  return words;
}

}  // namespace
}  // namespace tavo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavo::fuzz;
  winsim::reset();  // the call trace would grow with every input
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    if (auto words = utf16_words(rest)) check(*words);
    return 0;
  }
  std::vector<std::string> words = split_bytes(rest, '\0');
  for (const std::string& word : words) {
    if (!tavo::is_valid_utf8(word)) return 0;  // the native entry point refuses the list
  }
  check(words);
  return 0;
}
