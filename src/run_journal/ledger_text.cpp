#include "run_journal/ledger_text.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "base/format.h"
#include "run_journal/line_escape.h"

namespace tavo {
namespace {

constexpr std::array<std::pair<EntryKind, std::string_view>, 6> kKinds{{
    {EntryKind::Grant, "grant"},
    {EntryKind::Traverse, "traverse"},
    {EntryKind::NulDevice, "nul"},
    {EntryKind::Icacls, "icacls"},
    {EntryKind::Deny, "deny"},
    {EntryKind::StandingDeny, "standing-deny"},
}};

std::optional<EntryKind> kind_of(std::string_view name) {
  for (const auto& [kind, text] : kKinds) {
    if (text == name) return kind;
  }
  return std::nullopt;
}

std::string_view next_field(std::string_view& rest, char separator = ' ') {
  const std::size_t at = rest.find(separator);
  const std::string_view field = rest.substr(0, at);
  rest = at == std::string_view::npos ? std::string_view{} : rest.substr(at + 1);
  return field;
}

// A field that names something: not empty, no blank, nothing a line could be cut at.
bool is_word(std::string_view field) {
  return !field.empty() && field.find_first_of(" \r\n") == std::string_view::npos;
}

std::optional<LedgerEntry> parse_line(std::string_view line) {
  LedgerEntry entry;
  const auto kind = kind_of(next_field(line));
  const std::string_view sid = next_field(line);
  const std::string_view level = next_field(line);
  const std::string_view options = next_field(line);
  const std::string_view placed = next_field(line);
  const std::string_view identity = next_field(line);
  if (!kind || !sid.starts_with("S-") || !is_word(level) || !is_word(options)) return std::nullopt;
  auto [stop, error] = std::from_chars(placed.data(), placed.data() + placed.size(), entry.placed);
  if (placed.empty() || error != std::errc{} || stop != placed.data() + placed.size()) {
    return std::nullopt;
  }
  entry.identity = parse_identity(identity);
  if (!entry.identity && identity != "-") return std::nullopt;
  auto object = unescaped(line);
  if (!object || object->empty()) return std::nullopt;
  entry.kind = *kind;
  entry.sid = std::string(sid);
  entry.level = std::string(level);
  entry.options = std::string(options);
  entry.object = std::move(*object);
  return entry;
}

}  // namespace

bool LedgerEntry::same_place(const LedgerEntry& other) const {
  if (kind != other.kind || sid != other.sid) return false;
  if (identity && other.identity) return *identity == *other.identity;
  return !identity && !other.identity && object == other.object;
}

std::string_view kind_name(EntryKind kind) {
  for (const auto& [known, text] : kKinds) {
    if (known == kind) return text;
  }
  return "?";
}

std::string ledger_line(const LedgerEntry& entry) {
  return format("{} {} {} {} {} {} {}\n", kind_name(entry.kind), entry.sid, entry.level,
                entry.options.empty() ? std::string("-") : entry.options, entry.placed,
                entry.identity ? identity_text(*entry.identity) : std::string("-"),
                escaped(entry.object));
}

std::string ledger_text(const std::vector<LedgerEntry>& entries) {
  const bool standing = std::any_of(entries.begin(), entries.end(), [](const LedgerEntry& entry) {
    return entry.kind == EntryKind::StandingDeny;
  });
  std::string text(standing ? kLedgerHeaderVersion2 : kLedgerHeader);
  text.push_back('\n');
  for (const LedgerEntry& entry : entries)
    text += ledger_line(entry);
  return text;
}

std::expected<std::vector<LedgerEntry>, std::string> parse_ledger(std::string_view text) {
  // A torn last line is a record whose writer died before it was whole.
  if (const std::size_t end = text.rfind('\n'); end != text.size() - 1) {
    text = end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
  }
  std::vector<LedgerEntry> entries;
  if (text.empty()) return entries;
  // Version 1 holds a subset of version 2's kinds, written the same way.
  if (const std::string_view header = next_field(text, '\n');
      header != kLedgerHeader && header != kLedgerHeaderVersion2) {
    return std::unexpected("not a ledger of this version");
  }
  for (std::size_t number = 2; !text.empty(); ++number) {
    auto entry = parse_line(next_field(text, '\n'));
    if (!entry) return std::unexpected(format("line {}: not a record", number));
    entries.push_back(std::move(*entry));
  }
  return entries;
}

}  // namespace tavo
