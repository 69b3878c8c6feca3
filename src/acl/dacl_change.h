// What one edit of an object's DACL overwrote for one SID: enough to put it back exactly.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "win/api.h"
#include "win/file_identity.h"

namespace tavo {

// One explicit allow or deny entry of the SID, as it stood.
struct SidEntry {
  BYTE type;   // ACCESS_ALLOWED_ACE_TYPE or ACCESS_DENIED_ACE_TYPE
  BYTE flags;  // inheritance flags
  DWORD mask;
  friend bool operator==(const SidEntry&, const SidEntry&) = default;
};

// Deny: a deny as earlier versions made it, with the DACL protected and the SID's allow entries
// revoked; found only in their journals, and taken back as they took it back. DenyEntry: a deny
// entry of its own, placed beside the SID's other entries, the protection left as it was.
enum class ChangeKind { Grant, Deny, DenyEntry };

struct DaclChange {
  ChangeKind kind;
  std::string path;    // as the caller gave it, for messages
  std::string object;  // the final path of the object the edit reached, for messages and for
                       // records written before identities were
  // The object the edit reached, whatever it is called later: the undo lands on it and on
  // nothing else. None only in a record written before identities were.
  std::optional<FileIdentity> identity;
  // The SID's explicit entries before the edit, in DACL order; for a DenyEntry, the one entry it
  // placed (or found standing).
  std::vector<SidEntry> entries;
  bool was_protected;  // the DACL's protection before the edit

  // Whether the edit set protection: only an earlier version's deny did, on an object that
  // inherited.
  bool set_protection() const { return kind == ChangeKind::Deny && !was_protected; }
};

// Whether two records are of one object: by identity where both have one, else by final path.
bool same_object(const DaclChange& a, const DaclChange& b);

class DaclObject;

// Told of an edit just before its write, so that it can be taken back. A write that then fails
// changed nothing; the recorder hears of that too. After a write that succeeded it is handed the
// object the edit held, so that it can take the edit back through it and not through a name.
class ChangeRecorder {
 public:
  virtual void before_write(DaclChange change) = 0;
  virtual void write_failed() = 0;
  virtual void written(DaclObject object) = 0;
  // Told instead, under the same lock, when the deny entry of `change` stands on `object` already
  // and nothing is written: whoever needs the deny may hold it all the same.
  virtual void deny_stands(DaclChange change, DaclObject object) = 0;

 protected:
  ~ChangeRecorder() = default;
};

}  // namespace tavo
