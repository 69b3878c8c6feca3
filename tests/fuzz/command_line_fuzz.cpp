// The command-line parser, given any argument list: UTF-8 words as the native entry point gets
// them, or UTF-16 words as the Windows entry point decodes them. A reference walk of the option
// grammar finds the words standing where an option name may stand and where the options end.
// "--probe" standing there gives the probe and nothing else does; then "--help" or "-h" the help,
// then "--version" the version, whatever else the list holds; otherwise the mode is the first of
// the other mode flags standing there, or a run, whose command and arguments are exactly the
// words after "--" and whose option values are the ones given.
#include <winsim/testing.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <utility>

#include "base/text.h"
#include "cli.h"
#include "fuzz.h"
#include "win/wide.h"

namespace tavo::fuzz {
namespace {

constexpr std::string_view kOptionNames[] = {
    "--pool-size",    "--pool-dir",     "--sandbox-sid-file", "--sid-out-file",
    "--profile-name", "--grant-rw",     "--grant-r",          "--deny-access",
    "--revoke",       "--network-mode", "--proxy-port",       "--cwd"};

// The mode flags by precedence; those up to --version answer whatever else the list holds.
const std::pair<std::string_view, Command> kModes[] = {
    {"--probe", Probe{}},
    {"--help", Help{}},
    {"-h", Help{}},
    {"--version", Version{}},
    {"--cleanup", Cleanup{}},
    {"--register-sandbox-profile", RegisterSandboxProfile{}},
    {"--register-pool", RegisterPool{}},
    {"--check-pool-version", CheckPoolVersion{}},
    {"--list-entries", ListEntries{}}};

void check(const std::vector<std::string>& args) {
  // The reference walk: what stands as an option name, each option's values in order, and the
  // words after "--".
  std::vector<std::string> flags;
  std::map<std::string, std::vector<std::string>> values;
  std::optional<std::vector<std::string>> command;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (std::ranges::find(kOptionNames, args[i]) != std::end(kOptionNames)) {
      if (i + 1 < args.size()) values[args[i]].push_back(args[i + 1]);
      ++i;  // the value, whatever it reads
    } else if (args[i] == "--") {
      command.emplace(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    } else {
      flags.push_back(args[i]);
    }
  }
  auto last = [&](const std::string& option) {
    return values[option].empty() ? std::nullopt : std::optional(values[option].back());
  };
  const auto parsed = parse_args(args);
  std::size_t mode = 0;  // in kModes; past its end for a run
  while (mode < std::size(kModes) && std::ranges::find(flags, kModes[mode].first) == flags.end())
    ++mode;
  if (!parsed) {
    if (mode < 4)
      finding("--probe, --help and --version standing as flags always answer", show(args));
    return;
  }
  const Command expected = mode < std::size(kModes) ? kModes[mode].second : Run{};
  if (parsed->index() != expected.index()) {
    finding("the mode is the first flag standing as a flag", show(args));
  }
  const Run* run = std::get_if<Run>(&*parsed);
  if (run == nullptr) return;
  std::vector<std::string> words = {run->command};
  words.insert(words.end(), run->args.begin(), run->args.end());
  if (words != command) {
    finding("a run's command and arguments are the words after --",
            "arguments: " + show(args) + "\nparsed: " + show(words));
  }
  if (run->profile_name != last("--profile-name") || run->cwd != last("--cwd") ||
      run->sandbox_sid_file != last("--sandbox-sid-file") ||
      run->grant_rw != values["--grant-rw"] || run->grant_r != values["--grant-r"] ||
      run->deny_access != values["--deny-access"]) {
    finding("a run's option values are the ones given", show(args));
  }
}

}  // namespace
}  // namespace tavo::fuzz

// Input: a byte whose low bit chooses UTF-16 words, then the NUL-separated words.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavo::fuzz;
  winsim::reset();  // the call trace would grow with every input
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string> words = split(rest, '\0');
  if (data[0] & 1) {  // UTF-16 words (little-endian), decoded as the Windows entry point does
    tavo::WideString units(rest.size() / 2, 0);
    std::memcpy(units.data(), rest.data(), units.size() * sizeof(WCHAR));
    words.clear();
    for (const tavo::WideString& units_of_word : split(units, WCHAR{0})) {
      std::optional<std::string> word = tavo::from_wide(units_of_word);
      if (!word) return 0;  // not Unicode: the entry point refuses the list
      if (tavo::to_wide_nul(*word) != units_of_word)
        finding("UTF-16 words survive decoding", *word);
      words.push_back(*word);
    }
  } else if (!std::ranges::all_of(words, tavo::is_valid_utf8)) {
    return 0;  // the native entry point refuses text that is not UTF-8
  }
  check(words);
  return 0;
}
