// The --list-entries mode: what the ledgers record, one entry a line.
#pragma once

#include "cli.h"

namespace tavo {

// Prints every entry the readable ledgers record (for the SID the command names, when it names
// one) to standard output, each marked when its object no longer carries it. A ledger that cannot
// be read is warned about and the others are still listed. Ends with 0, or 13 when the SID the
// command names cannot be had.
int list_entries(const ListEntries& command);

}  // namespace tavo
