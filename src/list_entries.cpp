#include "list_entries.h"

#include "base/format.h"
#include "base/utc_time.h"
#include "runtime/exit_status.h"
#include "runtime/log.h"
#include "sandbox_profile/profiles.h"
#include "sandbox_profile/recorded_entries.h"
#include "sandbox_profile/sid_file.h"
#include "sid/sid_text.h"
#include "win/console.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

// The one SID asked about, as its string form; nothing for every SID.
std::expected<std::optional<std::string>, std::string> wanted_sid(const ListEntries& command) {
  if (command.sandbox_sid_file) {
    auto sid = read_sid_file(*command.sandbox_sid_file);
    if (!sid) return std::unexpected(sid.error());
    auto text = sid_to_sddl(sid->get());
    if (!text) return std::unexpected(text.error().display());
    return *text;
  }
  if (command.profile_name) {
    auto sid = derive_sid(*command.profile_name);
    if (!sid) return std::unexpected(sid.error().display());
    auto text = sid_to_sddl(sid->get());
    if (!text) return std::unexpected(text.error().display());
    return *text;
  }
  return std::nullopt;
}

// "" when the entry stands; else what a reader should know.
std::string mark_of(const LedgerEntry& entry) {
  unique_local<void> sid;
  if (!ConvertStringSidToSidW(to_wide_nul(entry.sid).c_str(), sid.put())) {
    return "\t(not checked: the SID cannot be read)";
  }
  auto in_place = entry_in_place(sid.get(), entry);
  if (!in_place) return format("\t(not in place: {})", in_place.error());
  return *in_place ? "" : "\t(not in place)";
}

std::string entry_line(const LedgerEntry& entry) {
  std::string level = entry.level;
  if (entry.options != "-") level += " " + entry.options;
  return format("{}\t{}\t{}\t{}\t{}{}\n", entry.sid, kind_name(entry.kind), level, entry.object,
                utc_text(entry.placed), mark_of(entry));
}

}  // namespace

int list_entries(const ListEntries& command) {
  auto wanted = wanted_sid(command);
  if (!wanted) {
    log(Level::Error, kTargetMain, "list entries: {}", wanted.error());
    return kStatusSetup;
  }
  std::string out;
  for (const Ledger& ledger : readable_ledgers()) {
    auto entries = ledger.read();
    if (!entries) {
      log(Level::Warn, kTargetMain, "ledger {} cannot be read: {}", ledger.path(), entries.error());
      continue;
    }
    for (const LedgerEntry& entry : *entries) {
      if (!*wanted || entry.sid == **wanted) out += entry_line(entry);
    }
  }
  if (!out.empty() && !console::write(console::Stream::Out, out)) {
    internal_failure("cannot write to standard output");
  }
  return kStatusSuccess;
}

}  // namespace tavo
