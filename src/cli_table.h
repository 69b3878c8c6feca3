// The words of the command line, each once: the modes and the options, with what the usage text
// says of them. The parser knows no word that is not here, so a usage text made from this table
// names exactly what the parser takes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"

namespace tavo::cli {

// Every option value of one command line, before a mode is chosen.
struct OptionValues {
  std::optional<std::uint32_t> pool_size;
  std::optional<std::string> pool_dir;
  std::optional<std::string> sandbox_sid_file;
  std::optional<std::string> sid_out_file;
  std::optional<std::string> profile_name;
  std::vector<std::string> grant_rw;
  std::vector<std::string> grant_r;
  std::vector<std::string> deny_access;
  std::vector<std::string> revoke;
  NetworkMode network_mode = NetworkMode::DefaultBlocked;
  std::optional<std::string> cwd;
  bool revoke_all = false;
  bool keep_denies = false;
};

enum class Repeat {
  LastWins,    // a later occurrence replaces the value
  Repeatable,  // every occurrence counts: a list keeps each value, in order
};

struct OptionRow {
  std::string_view name;
  std::string_view value;  // the value's name in the usage text; empty for a switch, which
                           // takes no value
  Repeat repeat;
  std::string_view description;
  // Takes one occurrence's value into `values`; gives the rejection's message when the value is
  // refused.
  std::optional<std::string> (*take)(OptionValues& values, const std::string& value);
};

// In order of precedence: when several mode flags stand on one command line, the first wins.
enum class Mode {
  Probe,
  Help,
  Version,
  Cleanup,
  RegisterSandboxProfile,
  RegisterPool,
  CheckPoolVersion,
  ListEntries,
  Run,
};

struct ModeRow {
  Mode mode;
  std::string_view flag;   // empty for the run, which no flag selects
  std::string_view alias;  // a second word for the mode, or empty
  std::string_view description;
  std::string_view example;  // the arguments after the program's name
};

// Ends the options: every word after it is the sandboxed command's.
inline constexpr std::string_view kEndOfOptions = "--";

// Every mode, in the order of Mode; every option, in the order the usage text shows them.
std::span<const ModeRow> modes();
std::span<const OptionRow> options();

// The entry a word names; nothing for any other word.
const OptionRow* find_option(std::string_view word);
const ModeRow* find_mode_flag(std::string_view word);

}  // namespace tavo::cli
