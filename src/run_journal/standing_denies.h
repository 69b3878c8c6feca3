// Denies kept between runs of one SID (--keep-denies): each stands recorded in the user's ledger,
// so that a repeat run asking for it writes nothing, and a run not asking for it takes it back.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "acl/dacl_change.h"
#include "acl/dacl_lock.h"
#include "acl/dacl_object.h"
#include "acl/deny_hold.h"
#include "run_journal/ledger.h"
#include "win/api.h"

namespace tavo {

// The file beside the user's ledger that says the SID (string form) may have standing denies in
// it. It is made before the first record and removed once a look under the DACL edit lock finds
// none left, so a run of a SID without standing denies asks only whether it exists and never
// reads the ledger.
std::string standing_marker_name(std::string_view sid);

// One run's view of its SID's standing denies in its user's ledger (never another user's: the
// ledger is the user's own). As a recorder, it stands before the run's undo record for its
// denies: with `keep`, a deny it can record as standing is its own and is never undone; a deny
// it cannot record (no ledger, a ledger that fails), or one found standing without a record and
// without a live owner (placed by someone else, or found by a run whose journal will take it
// back), goes on to `next` as any run's deny.
//
// A standing deny is recorded before its entry is written and forgotten after its entry is taken
// back, so that however a run ends the entry is never on the machine without its record. While
// the run needs a standing deny it holds it (HoldKind::Need): another run's take-back leaves it,
// and no run joins it as an owner that would take it back at its end.
class StandingDenies final : public ChangeRecorder {
 public:
  // `sid` and `next` are borrowed: the run owns them and they outlive this.
  StandingDenies(PSID sid, ChangeRecorder& next, bool keep);

  // Before the run's own edits, and before its command: every standing deny of the SID that the
  // run does not ask for (`asked`, the --deny-access paths, compared by object identity) is taken
  // off its object and its record forgotten, unless a live process holds it (left; warned about
  // when that cannot be told). Failures are warned about; the run goes on.
  void take_back_unasked(const std::vector<std::string>& asked, DaclEditLock& lock);

  // Just before the command starts: a standing deny of this run that someone removed meanwhile is
  // put back through the object its edit held.
  void put_back_removed(DaclEditLock& lock);

  void before_write(DaclChange change) override;
  void write_failed() override;
  void written(DaclObject object) override;
  void deny_stands(DaclChange change, DaclObject object) override;

 private:
  struct Kept {
    DaclChange change;
    std::optional<DaclObject> object;
    DenyHold hold;
  };

  bool marked();
  bool mark();
  void unmark_when_none_left();
  bool recorded(const FileIdentity& identity) const;
  bool record(const DaclChange& change);
  // Takes one standing deny off its object, then forgets its record; false when it stays.
  bool take_back(const LedgerEntry& entry, const DaclEditLock::Held& held);

  PSID sid_;
  ChangeRecorder& next_;
  bool keep_;
  std::string sid_text_;
  std::optional<LedgerFolder> folder_;
  std::optional<Ledger> ledger_;
  std::optional<bool> marked_;         // whether the marker stands, once looked at
  std::vector<LedgerEntry> standing_;  // this SID's records, read once when the marker stands
  std::vector<Kept> kept_;
  bool last_went_next_ = false;  // the change in flight went on to `next`
};

}  // namespace tavo
