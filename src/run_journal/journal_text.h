// The text of a run journal: what a run writes before each change it makes, so that whoever comes
// after a run that was killed can take its changes back.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acl/dacl_change.h"
#include "run_journal/process_identity.h"

namespace tavo {

// The first line of every journal; a later format gets a new number. Version 3 records a deny as
// the entry it placed ("deny-entry"); versions 1 and 2, written by earlier releases, hold denies
// that protected the DACL ("deny"), still taken back as those releases did. Version 2 records each
// object's identity beside its final path; version 1 only the path.
inline constexpr std::string_view kJournalHeader = "tavo-sandbox run journal 3";
inline constexpr std::string_view kJournalHeaderVersion2 = "tavo-sandbox run journal 2";
inline constexpr std::string_view kJournalHeaderVersion1 = "tavo-sandbox run journal 1";

// What a journal says: whose run it is, what it changed and whether its command started.
struct JournalContents {
  std::optional<ProcessIdentity> owner;  // none when the run died before writing it
  std::string sid;                       // the SID's string form
  std::vector<DaclChange> changes;       // in the order they were made
  bool command_started = false;
};

// The lines a journal begins with: the header, the owner and the SID, each ending in a line feed.
std::string journal_preamble(const ProcessIdentity& owner, std::string_view sid);
// One line for a change about to be made.
std::string change_line(const DaclChange& change);
// The line saying that the change announced last was not made after all (its write failed).
inline constexpr std::string_view kDroppedLine = "dropped\n";
// The line saying that the command is about to start: from here on the grants stay.
inline constexpr std::string_view kStartedLine = "started\n";

// Reads a journal. A last line without its line feed is a write the run did not finish, so the
// change it announced was never made: it is left out. A journal cut short within its first
// lines announced no change. Anything else that is not as written above makes the journal
// unreadable; the error says where.
std::expected<JournalContents, std::string> parse_journal(std::string_view text);

}  // namespace tavo
