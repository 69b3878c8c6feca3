// The text of a ledger: one line for each lasting entry the program placed and has not taken back.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "win/file_identity.h"

namespace tavo {

// The first line of every ledger; a later format gets a new number. Version 2 added the kind
// "standing-deny". A ledger without such a record is still written as version 1, which earlier
// versions of the program read (and would set aside as unreadable otherwise); both are read.
inline constexpr std::string_view kLedgerHeader = "tavo-sandbox ledger 1";
inline constexpr std::string_view kLedgerHeaderVersion2 = "tavo-sandbox ledger 2";

enum class EntryKind {
  Grant,      // a run's --grant-rw / --grant-r, or a registration's grant: inheritable allow
  Traverse,   // passing through one folder: an allow entry on that folder alone
  NulDevice,  // read and write on the NUL device
  Icacls,     // a grant icacls placed, on the folder and (with /T) everything below it
  Deny,       // a deny that stays: the registrations' credential denies
  // A run's deny kept after it ended (--keep-denies): taken back by the next run of the SID that
  // does not ask for it, by a grant of its object, or by cleanup.
  StandingDeny,
};

struct LedgerEntry {
  EntryKind kind = EntryKind::Grant;
  std::string sid;    // the SID's string form
  std::string level;  // "r", "rw", "traverse", the icacls grant as given ("(OI)(CI)RX"), "deny"
  std::string options = "-";             // icacls's switches beside the grant ("/T"), "-" for none
  std::uint64_t placed = 0;              // when it was recorded: 100 ns units since 1601, UTC
  std::optional<FileIdentity> identity;  // the object; none for the NUL device
  std::string object;                    // its final path (\\?\C:\...), "NUL" for the device

  // One record per SID, object and kind: a record of the same place stands for this one.
  bool same_place(const LedgerEntry& other) const;
};

std::string_view kind_name(EntryKind kind);

// "KIND SID LEVEL OPTIONS PLACED IDENTITY OBJECT" and a line feed; OBJECT escaped as journals
// escape paths, IDENTITY in its one text form or "-".
std::string ledger_line(const LedgerEntry& entry);
// The whole file: the header (version 2 when a standing deny is among the entries), then a line
// per entry.
std::string ledger_text(const std::vector<LedgerEntry>& entries);

// Reads a ledger back. A last line without its line feed was being written when its writer
// died: it is left out. Any other line that is not as written above makes the ledger unreadable;
// the error says where. An empty text is an empty ledger.
std::expected<std::vector<LedgerEntry>, std::string> parse_ledger(std::string_view text);

}  // namespace tavo
