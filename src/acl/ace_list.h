// The entries of a DACL as values: read from the DACL's bytes, edited with the platform's rules
// for where an entry goes, and turned back into a DACL of the program's own. Nothing here calls
// the platform, so the placement rules are stated once and can be tested as a table.
//
// Where an entry goes (the order the platform checks access in, and the order it builds):
//   - a deny entry of the SID goes first of all, so that it wins over every allow entry, the
//     object's own and those inherited from above;
//   - an allow entry of the SID goes just before the first explicit allow entry, after the
//     explicit deny entries and before the inherited entries (at the end when there are none);
//   - the entries of every other trustee, and any entry of a kind not understood here, keep
//     their order and their bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "acl/dacl_change.h"
#include "win/api.h"
#include "win/error.h"

namespace tavo {

// One entry of an ACL, kept as its bytes: an allow or deny entry can be asked for its parts, and
// an entry of any other kind is carried through unchanged.
class Ace {
 public:
  // The SID's entry `entry` in its binary form.
  static Ace of(const SidEntry& entry, PSID sid);

  BYTE type() const { return bytes_[0]; }
  BYTE flags() const { return bytes_[1]; }
  bool is_inherited() const { return (flags() & INHERITED_ACE) != 0; }
  bool is_explicit_allow() const { return !is_inherited() && type() == ACCESS_ALLOWED_ACE_TYPE; }
  // Whether this is one of the SID's explicit (not inherited) allow or deny entries.
  bool is_explicit_of(PSID sid) const;
  // Its type, flags and mask; meaningful for an allow or deny entry only.
  SidEntry parts() const;
  // Its trustee; meaningful for an allow or deny entry only.
  PSID sid() const;
  std::span<const BYTE> bytes() const { return bytes_; }

  friend bool operator==(const Ace&, const Ace&) = default;

 private:
  friend class AceList;
  explicit Ace(std::vector<BYTE> bytes) : bytes_(std::move(bytes)) {}
  bool is_allow_or_deny() const {
    return type() == ACCESS_ALLOWED_ACE_TYPE || type() == ACCESS_DENIED_ACE_TYPE;
  }

  std::vector<BYTE> bytes_;
};

// An ACL in storage of the program's own, DWORD-aligned as ACLs are.
class OwnedAcl {
 public:
  explicit OwnedAcl(std::vector<std::uint32_t> storage) : storage_(std::move(storage)) {}
  PACL get() { return reinterpret_cast<PACL>(storage_.data()); }

 private:
  std::vector<std::uint32_t> storage_;
};

class AceList {
 public:
  // The entries of `acl`, in order, with its revision; none for an absent ACL. An ACL whose sizes
  // do not add up, or an allow or deny entry too short for its SID, fails with ERROR_INVALID_ACL.
  static std::expected<AceList, HresultError> read(const ACL* acl);
  explicit AceList(std::vector<Ace> entries, BYTE revision = ACL_REVISION)
      : revision_(revision), entries_(std::move(entries)) {}

  const std::vector<Ace>& entries() const { return entries_; }

  // The SID's explicit allow and deny entries, in order, as an undo record keeps them.
  std::vector<SidEntry> of_sid(PSID sid) const;
  // Where the SID's first explicit entry equal to `wanted` stands; none when none does.
  std::optional<std::size_t> find(PSID sid, const SidEntry& wanted) const;
  // Whether the SID's explicit entries are exactly `wanted`, one entry.
  bool holds_only(PSID sid, const SidEntry& wanted) const;

  // The SID's explicit allow entries, and its deny entries too when `replace_denies`, give way to
  // the allow entry `allow`, placed as an allow entry goes.
  void set_allow(PSID sid, const SidEntry& allow, bool replace_denies);
  // The SID's deny entry `deny` goes first of all.
  void add_deny(PSID sid, const SidEntry& deny);
  // Takes the SID's explicit entries that `taken` picks off; how many it took.
  std::size_t remove_of(PSID sid, const std::function<bool(const SidEntry&)>& taken);
  void remove_at(std::size_t index) {
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
  }
  // The SID's explicit entries become `recorded` (in their recorded order) again: its deny
  // entries first, its allow entries where an allow entry goes; every other entry stays.
  void restore(PSID sid, const std::vector<SidEntry>& recorded);
  // Leaves the inherited entries out: a DACL written without protection gets them from its
  // parent again, computed by the platform.
  void drop_inherited();

  // The ACL holding these entries; fails with ERROR_INVALID_PARAMETER when it would be larger
  // than an ACL can be.
  std::expected<OwnedAcl, HresultError> to_acl() const;

  friend bool operator==(const AceList&, const AceList&) = default;

 private:
  explicit AceList(BYTE revision) : revision_(revision) {}
  // Where an allow entry of the SID goes: before the first explicit allow or inherited entry.
  std::vector<Ace>::iterator allow_place();

  BYTE revision_;
  std::vector<Ace> entries_;
};

// A DACL as an edit is handed it (see edit_dacl), and what the edit makes of it.
struct DaclDraft {
  AceList entries;             // as read; the edit changes them
  bool is_protected;           // as read
  bool inherit_again = false;  // the write turns inheritance back on
  bool write_anyway = false;   // written even when the edit changed nothing
};

// The edits the program makes of one SID's entries. Inherited entries stay only in a DACL that
// stays protected, where a write keeps them flagged inherited; otherwise the platform computes
// them again from the parent, and an edit that writes leaves them out.

// The SID's one allow entry `allow` in place of its explicit allow entries, and of its deny
// entries too when `replace_denies`. Nothing changes when it is the SID's only explicit entry
// already: set again, it would move in front of other SIDs' allow entries, and with several SIDs
// on one object the DACL would differ on every repeat and be written (and, for an inheritable
// entry, pushed down the whole tree) again and again.
void set_sid_allow(DaclDraft& dacl, PSID sid, const SidEntry& allow, bool replace_denies);
// The SID's deny entry `deny` first of all, unless it stands already.
void place_sid_deny(DaclDraft& dacl, PSID sid, const SidEntry& deny);
// The SID's first explicit entry equal to `entry` taken off, and nothing else.
void take_sid_entry(DaclDraft& dacl, PSID sid, const SidEntry& entry);
// The SID's explicit entries become `recorded` again, unless they are already and the protection
// stays; `unprotect` (an earlier version's deny took inheritance away) turns inheritance back on.
void restore_sid_entries(DaclDraft& dacl, PSID sid, const std::vector<SidEntry>& recorded,
                         bool unprotect);

}  // namespace tavo
