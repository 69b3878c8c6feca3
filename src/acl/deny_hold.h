// Who still needs a deny: each run that placed a deny entry, or found one standing, holds a named
// kernel object for it until it ends. The system drops a holder's object however the holder
// ends, so whether a deny is still needed is a question to the system, not to files of other
// users that this run may not read.
#pragma once

#include <string>
#include <string_view>

#include "win/file_identity.h"
#include "win/unique.h"

namespace tavo {

// Why a run holds a deny.
enum class HoldKind {
  Owner,  // it placed the entry, or joined a run that did: the last owner takes it back
  Need,   // it found the entry standing with no owner: kept while it runs, never taken back
};

// The name of the object that holds the deny of the SID `sid` (string form) on the object with
// `identity` for `kind`: one name per SID, object and kind, whatever path a run gave, in the
// namespace every session of every user shares.
std::string deny_hold_name(std::string_view sid, const FileIdentity& identity, HoldKind kind);

// What the system says of a deny's holders.
enum class DenyHolders {
  None,     // no process holds it: the name does not exist
  Some,     // a process holds it (this process counts too, while it holds it)
  Unknown,  // the name exists as something this program cannot open (another object type, a
            // DACL that refuses): someone may need the deny, so it must stay
};

// Asks the system whether any live process holds the deny of `sid` on `identity`, of either kind
// (or, with `kind`, of that kind). Only the answer "no such name" means that no one does. A
// caller that holds the deny itself closes its own hold first, under the DACL edit lock, so that
// no run can take a hold between the answer and what the caller does with it.
DenyHolders deny_holders(std::string_view sid, const FileIdentity& identity);
DenyHolders deny_holders(std::string_view sid, const FileIdentity& identity, HoldKind kind);

// This process's hold on one deny: the named object, open while the hold lives.
class DenyHold {
 public:
  DenyHold() = default;
  // Takes a hold on the deny of `sid` on `identity`, creating the name or opening it where
  // another run holds it already. A hold that cannot be taken is warned about and is empty: the
  // deny then looks held to everyone (see DenyHolders::Unknown) or not at all, and an empty hold
  // never lets this run take back a deny that another holds.
  static DenyHold take(std::string_view sid, const FileIdentity& identity, HoldKind kind);

  bool held() const { return static_cast<bool>(handle_); }
  // Gives the hold up; called under the DACL edit lock before asking for other holders.
  void release() { handle_.reset(); }

 private:
  explicit DenyHold(unique_handle handle) : handle_(std::move(handle)) {}
  unique_handle handle_;
};

}  // namespace tavo
