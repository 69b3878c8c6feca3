// The grants icacls placed for the registrations, as their ledger records them.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "run_journal/ledger_text.h"
#include "win/api.h"

namespace tavo {

// The ledger records of an icacls run about to grant `grants` ("*SID:(OI)(CI)RX") on `target`
// (the final path icacls is given) with `flags`: one per SID.
std::vector<LedgerEntry> icacls_records(std::string_view target,
                                        std::span<const std::string> grants,
                                        std::span<const std::string_view> flags);

// Takes the recorded grant back as icacls placed it: `/remove:g *SID` on the recorded folder,
// held where it leads, from the system folder's icacls, with `/T` where the grant had it, `/L`.
std::expected<void, std::string> remove_icacls_grant(const LedgerEntry& entry);

// Whether the recorded folder still holds an allow entry of the SID of its own.
std::expected<bool, std::string> icacls_grant_in_place(PSID sid, const LedgerEntry& entry);

}  // namespace tavo
