// The lasting entries the ledgers record: found on the machine, and taken back.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "acl/dacl_lock.h"
#include "run_journal/ledger.h"
#include "win/api.h"

namespace tavo {

// The ledgers a caller may read: the user's own (the runs') and the administrators' (the
// registrations'), in that order; the ones whose folder is not known are left out.
std::vector<Ledger> readable_ledgers();

// The administrators' ledger: %PROGRAMDATA%\Tavo\ledger, under the pool directory's rules.
LedgerFolder admin_ledger_folder();

// Whether the entry still stands on its object, reached as itself; why not, when it cannot be
// told (the object is gone, or cannot be reached as itself).
std::expected<bool, std::string> entry_in_place(PSID sid, const LedgerEntry& entry);

// Whether a live run holds a deny of the entry's SID on the entry's object: such a deny is left
// alone, as the overlap rules leave it.
using DenyHeldByLiveRun = std::function<bool(const LedgerEntry&)>;

// The answer the system gives: a live process, of any user, holds the deny of the SID on that
// object (see deny_hold.h).
DenyHeldByLiveRun deny_held_by_live_runs();

// Takes back every entry that `ledgers` record for the SID, last placed first, and removes each
// record once its entry is gone (or its object is). An entry that cannot be taken back is warned
// about and stays in its ledger; a deny a live run holds is left alone. The number that could
// not be taken back (the live runs' denies not counted).
std::size_t take_back_recorded(PSID sid, std::vector<Ledger>& ledgers,
                               const DenyHeldByLiveRun& held, DaclEditLock& lock);

// Forgets what `ledgers` record of the SID on the object `identity`, whose explicit entries of the
// SID a revoke has just taken off, so that no record outlives its entry. Records of icacls grants
// stay: those reach the objects below too, which the revoke did not touch. A record that cannot
// be removed is warned about; the entry is gone all the same, and a listing shows it so.
void forget_revoked(PSID sid, const FileIdentity& identity, std::vector<Ledger>& ledgers,
                    DaclEditLock& lock);

}  // namespace tavo
