// A ledger: the lasting entries the program placed and has not taken back, kept in a folder only
// its owners can change, so that a later cleanup can find every one of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acl/dacl_change.h"
#include "run_journal/ledger_text.h"
#include "win/api.h"

namespace tavo {

// The most a ledger may hold, as for a journal: a larger file is not read, and a record that
// would make it larger is not written (with a warning). One record per SID, object and kind
// keeps it far below that.
inline constexpr std::size_t kMaxLedgerBytes = std::size_t{4} << 20;
inline constexpr std::string_view kLedgerFileName = "entries.ledger";

// Where a ledger lives and the rules of the folder that holds it.
struct LedgerFolder {
  std::string dir;
  // Makes the folder, or checks the one there, as its rules say; the error says why it cannot be
  // used. Called before every write.
  std::function<std::expected<void, std::string>()> prepare;
  // Why the ledger file, held open with its final link not followed, must not be read.
  std::function<std::optional<std::string>(HANDLE)> distrust;
  // Puts the whole text in place of the file `name` in the folder, never leaving it cut short.
  std::function<std::expected<void, std::string>(std::string_view name, std::string_view text)>
      replace;
};

// The time a record is made, in the form records keep it (LedgerEntry::placed).
std::uint64_t placed_now();

// A record as the undo record of a change of `kind`, so that its object is reached as an undo
// reaches one: by its identity, never by a name that may lead elsewhere now.
DaclChange as_undo_record(const LedgerEntry& entry, ChangeKind kind);

// This user's ledger: %LOCALAPPDATA%\Tavo\ledger, a folder under the run journal folder's rules
// (the user's alone), held open from its check to the last write and written into as a whole new
// file renamed into place through its handle (see fs::replace_file_in), so that a reader sees the
// old ledger or the new one, never half of one, and a folder swapped for a link cannot redirect
// the write. Nothing when LOCALAPPDATA is unset or empty.
std::optional<LedgerFolder> user_ledger_folder();

// Reading and changing one ledger. Changes are read-modify-writes of the whole file: the caller
// holds the DACL edit lock across each (the runs' edits do already, when they announce an entry).
class Ledger {
 public:
  explicit Ledger(LedgerFolder folder);

  const std::string& path() const { return path_; }

  // Every record, in the order they were placed. A ledger that does not exist is empty; one that
  // cannot be trusted or read gives why.
  std::expected<std::vector<LedgerEntry>, std::string> read() const;

  // Records `entry` before it is placed. Nothing is written when a record of the same place,
  // level and options stands already; a record of the same place with another level is replaced.
  // True when no record of that place stood before.
  std::expected<bool, std::string> note(const LedgerEntry& entry);

  // Removes the record of the entry's place: the entry has been taken back.
  std::expected<void, std::string> forget(const LedgerEntry& entry);

 private:
  std::expected<void, std::string> write(const std::vector<LedgerEntry>& entries);

  LedgerFolder folder_;
  std::string path_;
};

}  // namespace tavo
