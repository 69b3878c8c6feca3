#include "run_journal/journal_text.h"

#include <charconv>
#include <optional>

#include "base/format.h"
#include "run_journal/line_escape.h"

namespace tavo {
namespace {

// Splits off the text before the next `separator` of `rest`, or all of it.
std::string_view next_field(std::string_view& rest, char separator = ' ') {
  const std::size_t at = rest.find(separator);
  const std::string_view field = rest.substr(0, at);
  rest = at == std::string_view::npos ? std::string_view{} : rest.substr(at + 1);
  return field;
}

template <class Number>
std::optional<Number> number(std::string_view text, int base = 10) {
  if (base == 16) {
    if (!text.starts_with("0x")) return std::nullopt;
    text.remove_prefix(2);
  }
  Number value{};
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || error != std::errc{} || stop != end) return std::nullopt;
  return value;
}

std::string entry_field(const SidEntry& entry) {
  return format("{}:0x{:x}:0x{:x}", entry.type == ACCESS_DENIED_ACE_TYPE ? "D" : "A",
                static_cast<unsigned>(entry.flags), static_cast<unsigned>(entry.mask));
}

std::optional<SidEntry> parse_entry(std::string_view field) {
  const std::string_view kind = next_field(field, ':');
  const auto flags = number<unsigned>(next_field(field, ':'), 16);
  const auto mask = number<DWORD>(field, 16);
  if ((kind != "A" && kind != "D") || !flags || *flags > 0xFF || !mask) return std::nullopt;
  return SidEntry{
      .type = static_cast<BYTE>(kind == "D" ? ACCESS_DENIED_ACE_TYPE : ACCESS_ALLOWED_ACE_TYPE),
      .flags = static_cast<BYTE>(*flags),
      .mask = *mask,
  };
}

constexpr std::string_view kind_word(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::Grant:
      return "grant";
    case ChangeKind::Deny:
      return "deny";
    case ChangeKind::DenyEntry:
      return "deny-entry";
  }
  return "grant";
}

// "grant|deny|deny-entry PROTECTED COUNT ENTRY... IDENTITY OBJECT", without IDENTITY in version 1;
// "deny-entry" (one entry: the one placed) from version 3 on.
std::optional<DaclChange> parse_change(std::string_view line, bool has_identity,
                                       bool has_deny_entries) {
  const std::string_view word = next_field(line);
  std::optional<ChangeKind> kind;
  for (ChangeKind known : {ChangeKind::Grant, ChangeKind::Deny, ChangeKind::DenyEntry}) {
    if (word == kind_word(known)) kind = known;
  }
  if (!kind || (*kind == ChangeKind::DenyEntry && !has_deny_entries)) return std::nullopt;
  const std::string_view was_protected = next_field(line);
  if (was_protected != "0" && was_protected != "1") return std::nullopt;
  const auto count = number<std::size_t>(next_field(line));
  if (!count || *count > 64) return std::nullopt;  // a SID has a handful of entries at most
  std::vector<SidEntry> entries;
  for (std::size_t i = 0; i < *count; ++i) {
    auto entry = parse_entry(next_field(line));
    if (!entry) return std::nullopt;
    entries.push_back(*entry);
  }
  std::optional<FileIdentity> identity;
  if (has_identity) {
    // "-": no identity, and the object is reached as a version-1 record's is.
    const std::string_view field = next_field(line);
    identity = parse_identity(field);
    if (!identity && field != "-") return std::nullopt;
  }
  auto object = unescaped(line);
  if (!object || object->empty()) return std::nullopt;
  if (*kind == ChangeKind::DenyEntry && (entries.size() != 1 || !identity)) return std::nullopt;
  return DaclChange{
      .kind = *kind,
      .path = *object,
      .object = *object,
      .identity = identity,
      .entries = std::move(entries),
      .was_protected = was_protected == "1",
  };
}

std::optional<ProcessIdentity> parse_owner(std::string_view line) {
  if (next_field(line) != "process") return std::nullopt;
  const auto pid = number<DWORD>(next_field(line));
  const auto created = number<std::uint64_t>(line);
  if (!pid || !created) return std::nullopt;
  return ProcessIdentity{*pid, *created};
}

}  // namespace

std::string journal_preamble(const ProcessIdentity& owner, std::string_view sid) {
  return format("{}\nprocess {} {}\nsid {}\n", kJournalHeader, owner.pid, owner.created, sid);
}

std::string change_line(const DaclChange& change) {
  std::string line = format("{} {} {}", kind_word(change.kind), change.was_protected ? 1 : 0,
                            change.entries.size());
  for (const SidEntry& entry : change.entries) {
    line.push_back(' ');
    line += entry_field(entry);
  }
  line.push_back(' ');
  line += change.identity ? identity_text(*change.identity) : "-";
  line.push_back(' ');
  line += escaped(change.object);
  line.push_back('\n');
  return line;
}

std::expected<JournalContents, std::string> parse_journal(std::string_view text) {
  // A torn last line announced a change whose write never began.
  if (const std::size_t end = text.rfind('\n'); end != text.size() - 1) {
    text = end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
  }
  std::vector<std::string_view> lines;
  while (!text.empty())
    lines.push_back(next_field(text, '\n'));

  // The run may have died before its first lines were all written: then it announced nothing.
  JournalContents contents;
  if (lines.empty()) return contents;
  const bool has_deny_entries = lines[0] == kJournalHeader;
  const bool has_identity = has_deny_entries || lines[0] == kJournalHeaderVersion2;
  if (!has_identity && lines[0] != kJournalHeaderVersion1) {
    return std::unexpected("not a run journal of this version");
  }
  if (lines.size() == 1) return contents;
  contents.owner = parse_owner(lines[1]);
  if (!contents.owner) return std::unexpected("line 2: no process");
  if (lines.size() == 2) return contents;
  if (!lines[2].starts_with("sid S-") || lines[2].find(' ', 4) != std::string_view::npos) {
    return std::unexpected("line 3: no SID");
  }
  contents.sid = std::string(lines[2].substr(4));
  for (std::size_t i = 3; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line == kStartedLine.substr(0, kStartedLine.size() - 1)) {
      contents.command_started = true;
    } else if (line == kDroppedLine.substr(0, kDroppedLine.size() - 1) &&
               !contents.changes.empty()) {
      contents.changes.pop_back();
    } else if (auto change = parse_change(line, has_identity, has_deny_entries)) {
      contents.changes.push_back(std::move(*change));
    } else {
      return std::unexpected(format("line {}: not a record", i + 1));
    }
  }
  return contents;
}

}  // namespace tavo
