#include "usage.h"

#include <array>
#include <string_view>

#include "base/format.h"
#include "cli_table.h"
#include "runtime/exit_status.h"

namespace tavo {
namespace {

// A console of 80 columns moves to the next row once its last column is written.
constexpr std::size_t kLongestLine = 79;
constexpr std::size_t kTextColumn = 30;
constexpr std::size_t kStatusTextColumn = 9;

// "  term" and the text beside it from `column` on, wrapped between words.
void append_row(std::string& out, std::string_view term, std::string_view text,
                std::size_t column = kTextColumn) {
  std::string line = format("  {}", term);
  if (line.size() + 2 > column) {
    out.append(line).push_back('\n');
    line.clear();
  }
  line.resize(column, ' ');
  bool line_empty = true;
  while (!text.empty()) {
    const std::size_t space = text.find(' ');
    const std::string_view word = text.substr(0, space);
    text.remove_prefix(space == std::string_view::npos ? text.size() : space + 1);
    if (!line_empty && line.size() + 1 + word.size() > kLongestLine) {
      out.append(line).push_back('\n');
      line.assign(column, ' ');
      line_empty = true;
    }
    if (!line_empty) line.push_back(' ');
    line.append(word);
    line_empty = false;
  }
  out.append(line).push_back('\n');
}

std::string_view repetition(cli::Repeat repeat) {
  switch (repeat) {
    case cli::Repeat::LastWins:
      return "the last one counts";
    case cli::Repeat::Repeatable:
      return "repeatable";
  }
  return "";
}

struct StatusMeaning {
  int status;
  std::string_view meaning;
};

constexpr std::array<StatusMeaning, 9> kStatuses = {{
    {kStatusSuccess,
     "success: probe, help, version, registration, a current pool, a confirmed cleanup, the "
     "list of entries, a command that ended with 0"},
    {kStatusUsage, "the command line was rejected"},
    {kStatusProfile, "run: the AppContainer profile could not be created or derived"},
    {kStatusPath, "run: a requested path is a system path, or a grant or deny failed"},
    {kStatusSetup,
     "run: a network mode other than default_blocked without a SID file, or an unreadable SID "
     "file; a registration failed; list: the SID asked about cannot be had"},
    {kStatusLaunch,
     "run: the command could not be launched, or it ended with an NTSTATUS (0x80000000 or "
     "above)"},
    {kStatusPoolStale, "pool version check: the pool must be registered again"},
    {kStatusCleanupPartial,
     "cleanup could not confirm every revoke, or could not take back every entry the ledgers "
     "record for the SID"},
    {kStatusInternal, "internal failure"},
}};

}  // namespace

std::string usage_text() {
  std::string out =
      "Usage: tavo-sandbox [MODE] [OPTION VALUE]... [-- COMMAND [ARGS]...]\n"
      "\n"
      "Runs COMMAND inside an AppContainer, and prepares and cleans up the AppContainer\n"
      "profiles that such runs use.\n"
      "\n"
      "Modes (when several are given, the first in this list wins):\n";
  for (const cli::ModeRow& mode : cli::modes()) {
    const std::string term = mode.flag.empty()    ? std::string("(none)")
                             : mode.alias.empty() ? std::string(mode.flag)
                                                  : format("{}, {}", mode.alias, mode.flag);
    append_row(out, term, mode.description);
  }
  out.append(
      "\nOptions, each followed by its value (the next argument, taken as it is) but for a "
      "switch:\n");
  for (const cli::OptionRow& option : cli::options()) {
    append_row(out,
               option.value.empty() ? std::string(option.name)
                                    : format("{} {}", option.name, option.value),
               option.value.empty()
                   ? std::string(option.description)
                   : format("{}; {}", option.description, repetition(option.repeat)));
  }
  append_row(out, cli::kEndOfOptions,
             "ends the options: the rest is COMMAND and its ARGS, passed on as they are");
  out.append("\nExit statuses:\n");
  for (const StatusMeaning& status : kStatuses)
    append_row(out, format("{}", status.status), status.meaning, kStatusTextColumn);
  append_row(out, "other",
             "run: the command's exit code, its low eight bits (1 when those are 0 but the code "
             "is not)",
             kStatusTextColumn);
  out.append("\nExamples:\n");
  for (const cli::ModeRow& mode : cli::modes())
    out.append(format("  tavo-sandbox {}\n", mode.example));
  return out;
}

std::string version_text() {
  return format("tavo-sandbox {}\n", TAVO_VERSION);
}

}  // namespace tavo
