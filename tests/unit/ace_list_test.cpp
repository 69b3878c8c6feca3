// Where the program's edits put one SID's entries among everyone else's: each row a DACL as
// read, one edit, and the entries the edit leaves to be written.
#include "acl/ace_list.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "support/sids.h"

namespace tavo {
namespace {

constexpr BYTE kCallbackAllow = 0x09;  // an entry kind the edits do not understand

class AceListTable : public ::testing::Test {
 protected:
  // Entries in a compact form: "(TYPE;FLAGS;MASK;WHO)", TYPE A (allow), D (deny) or X (an
  // allow-callback entry), FLAGS of OI CI NP IO ID, MASK in hexadecimal, WHO app, other or users.
  AceList list(const std::string& text) {
    std::vector<Ace> entries;
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t end = text.find(')', at);
      std::vector<std::string> parts;
      std::string part;
      for (char c : text.substr(at + 1, end - at - 1)) {
        if (c == ';') {
          parts.push_back(part);
          part.clear();
        } else {
          part += c;
        }
      }
      parts.push_back(part);
      entries.push_back(Ace::of(entry(parts[0], parts[1], parts[2]), sids.at(parts[3])));
      at = end + 1;
    }
    return AceList(std::move(entries));
  }

  static SidEntry entry(const std::string& type, const std::string& flags,
                        const std::string& mask) {
    SidEntry out{.type = static_cast<BYTE>(type == "A"   ? ACCESS_ALLOWED_ACE_TYPE
                                           : type == "D" ? ACCESS_DENIED_ACE_TYPE
                                                         : kCallbackAllow),
                 .flags = 0,
                 .mask = static_cast<DWORD>(std::stoul(mask, nullptr, 16))};
    for (std::size_t i = 0; i + 2 <= flags.size(); i += 2)
      out.flags = static_cast<BYTE>(out.flags | flag(flags.substr(i, 2)));
    return out;
  }

  static BYTE flag(const std::string& name) {
    if (name == "OI") return OBJECT_INHERIT_ACE;
    if (name == "CI") return CONTAINER_INHERIT_ACE;
    if (name == "NP") return NO_PROPAGATE_INHERIT_ACE;
    if (name == "IO") return INHERIT_ONLY_ACE;
    return INHERITED_ACE;  // ID
  }

  std::string text(const AceList& entries) const {
    std::string out;
    for (const Ace& ace : entries.entries()) {
      const SidEntry parts = ace.parts();
      std::string flags;
      for (const char* name : {"OI", "CI", "NP", "IO", "ID"})
        if (parts.flags & flag(name)) flags += name;
      char mask[16];
      std::snprintf(mask, sizeof mask, "%lx", static_cast<unsigned long>(parts.mask));
      out += "(" +
             std::string(parts.type == ACCESS_ALLOWED_ACE_TYPE  ? "A"
                         : parts.type == ACCESS_DENIED_ACE_TYPE ? "D"
                                                                : "X") +
             ";" + flags + ";" + mask + ";" + who(ace) + ")";
    }
    return out;
  }

  std::string who(const Ace& ace) const {
    const std::span<const BYTE> sid = ace.bytes().subspan(8);
    for (const auto& [name, known] : sids) {
      const auto* bytes = static_cast<const BYTE*>(known);
      if (bytes[1] == sid[1] && std::memcmp(sid.data(), bytes, 8 + 4 * std::size_t{sid[1]}) == 0)
        return name;
    }
    return "?";
  }

  SandboxSid app = testing::make_sid();
  SandboxSid other = testing::make_sid(testing::kOtherSid);
  SandboxSid users = testing::make_sid("S-1-5-32-545");
  const std::map<std::string, PSID> sids{
      {"app", app.get()}, {"other", other.get()}, {"users", users.get()}};
};

struct Row {
  const char* what;
  const char* before;
  bool is_protected;
  std::function<void(DaclDraft&, PSID)> edit;
  const char* after;
  bool inherit_again = false;
};

// The entries the edits place; every edit is of the SID "app".
const SidEntry kReadWrite{ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                          0x1301bf};
const SidEntry kTraverse{ACCESS_ALLOWED_ACE_TYPE, 0, 0x1200a9};
const SidEntry kDeny{ACCESS_DENIED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, 0x1f01ff};
const SidEntry kOldDeny{ACCESS_DENIED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                        0x1201bf};
const SidEntry kRead{ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, 0x1200a9};

void grant(DaclDraft& dacl, PSID sid) {
  set_sid_allow(dacl, sid, kReadWrite, true);
}
void traverse(DaclDraft& dacl, PSID sid) {
  set_sid_allow(dacl, sid, kTraverse, false);
}
void deny(DaclDraft& dacl, PSID sid) {
  place_sid_deny(dacl, sid, kDeny);
}
void take_deny(DaclDraft& dacl, PSID sid) {
  take_sid_entry(dacl, sid, kDeny);
}
auto restore(std::vector<SidEntry> recorded, bool unprotect = false) {
  return [recorded, unprotect](DaclDraft& dacl, PSID sid) {
    restore_sid_entries(dacl, sid, recorded, unprotect);
  };
}

// A protected DACL keeps its inherited entries, and a write keeps them flagged inherited; an
// unprotected one gets them from its parent again, so an edit leaves them out. An edit that
// changes nothing leaves everything where it is: nothing is then written. (The truth tests ask
// Windows itself both the protected write's rule and where its own merge places entries.)
TEST_F(AceListTable, EditsPlaceTheSidsEntriesAsThePlatformOrdersThem) {
  const Row rows[] = {
      // A grant: after the explicit denies, before the first explicit allow or inherited entry.
      {"grant on an empty DACL", "", false, grant, "(A;OICI;1301bf;app)"},
      {"grant before the first allow", "(D;;1f01ff;other)(A;OICI;1200a9;users)(A;OICIID;1;users)",
       false, grant, "(D;;1f01ff;other)(A;OICI;1301bf;app)(A;OICI;1200a9;users)(A;OICIID;1;users)"},
      {"grant before the inherited entries", "(D;;1f01ff;other)(A;OICIID;1;users)", false, grant,
       "(D;;1f01ff;other)(A;OICI;1301bf;app)(A;OICIID;1;users)"},
      {"grant past an entry of another kind", "(X;;1;other)(A;;1200a9;users)", false, grant,
       "(X;;1;other)(A;OICI;1301bf;app)(A;;1200a9;users)"},
      {"grant replaces the SID's allow and deny entries",
       "(D;OICI;1f01ff;app)(A;OICI;1200a9;other)(A;;1200a9;app)", false, grant,
       "(A;OICI;1301bf;app)(A;OICI;1200a9;other)"},
      {"grant already the SID's only entry stays where it is",
       "(A;OICI;1200a9;other)(A;OICI;1301bf;app)(A;OICIID;1;users)", false, grant,
       "(A;OICI;1200a9;other)(A;OICI;1301bf;app)(A;OICIID;1;users)"},
      {"grant beside an inherited entry of the SID", "(A;OICIID;1200a9;app)", false, grant,
       "(A;OICI;1301bf;app)(A;OICIID;1200a9;app)"},
      // A traversal entry replaces the SID's allow entries and leaves its denies.
      {"traversal keeps the SID's deny", "(D;OICI;1f01ff;app)(A;OICI;1301bf;app)(A;;1200a9;other)",
       true, traverse, "(D;OICI;1f01ff;app)(A;;1200a9;app)(A;;1200a9;other)"},
      {"traversal there beside a deny", "(D;;1f01ff;app)(A;;1200a9;app)", false, traverse,
       "(D;;1f01ff;app)(A;;1200a9;app)"},
      // A deny: first of all.
      {"deny, unprotected", "(D;;1f01ff;other)(A;OICI;1200a9;app)(A;OICIID;1;users)", false, deny,
       "(D;OICI;1f01ff;app)(D;;1f01ff;other)(A;OICI;1200a9;app)"},
      {"deny, protected", "(D;;1f01ff;other)(A;OICI;1200a9;app)(A;OICIID;1;users)", true, deny,
       "(D;OICI;1f01ff;app)(D;;1f01ff;other)(A;OICI;1200a9;app)(A;OICIID;1;users)"},
      {"deny standing", "(A;;1;users)(D;OICI;1f01ff;app)(A;OICIID;1;users)", false, deny,
       "(A;;1;users)(D;OICI;1f01ff;app)(A;OICIID;1;users)"},
      {"deny beside another deny of the SID", "(D;OICI;1201bf;app)", false, deny,
       "(D;OICI;1f01ff;app)(D;OICI;1201bf;app)"},
      // Taking a deny back: its first equal entry, and nothing else.
      {"deny taken back, protected",
       "(D;OICI;1201bf;app)(D;OICI;1f01ff;app)(A;OICI;1200a9;app)(A;OICIID;1;users)", true,
       take_deny, "(D;OICI;1201bf;app)(A;OICI;1200a9;app)(A;OICIID;1;users)"},
      {"deny taken back, unprotected", "(D;OICI;1f01ff;app)(A;;1;other)(D;OICI;1f01ff;app)", false,
       take_deny, "(A;;1;other)(D;OICI;1f01ff;app)"},
      {"no deny to take back", "(D;OICI;1f01ff;other)(A;OICIID;1;users)", false, take_deny,
       "(D;OICI;1f01ff;other)(A;OICIID;1;users)"},
      // Restoring: the recorded denies first, the recorded allows where an allow goes.
      {"grant restored", "(A;OICI;1301bf;app)(A;OICI;1200a9;other)(A;OICIID;1;users)", false,
       restore({kRead}), "(A;OICI;1200a9;app)(A;OICI;1200a9;other)"},
      {"grant restored to nothing", "(A;OICI;1301bf;app)(A;OICI;1200a9;other)", false, restore({}),
       "(A;OICI;1200a9;other)"},
      {"denies and allows restored",
       "(D;;1f01ff;other)(A;OICI;1301bf;app)(A;;1;other)(A;OICIID;1;users)", true,
       restore({kTraverse, kOldDeny}),
       "(D;OICI;1201bf;app)(D;;1f01ff;other)(A;;1200a9;app)(A;;1;other)(A;OICIID;1;users)"},
      {"recorded order kept", "(A;;10;other)", false,
       restore({{ACCESS_ALLOWED_ACE_TYPE, 0, 1},
                {ACCESS_ALLOWED_ACE_TYPE, 3, 2},
                {ACCESS_DENIED_ACE_TYPE, 0, 4},
                {ACCESS_DENIED_ACE_TYPE, 0, 8}}),
       "(D;;4;app)(D;;8;app)(A;;1;app)(A;OICI;2;app)(A;;10;other)"},
      {"restored already, wherever it stands", "(A;;1;other)(A;OICI;1200a9;app)(A;OICIID;1;users)",
       false, restore({kRead}), "(A;;1;other)(A;OICI;1200a9;app)(A;OICIID;1;users)"},
      {"an earlier version's deny restored: inherits again",
       "(A;OICI;1200a9;app)(A;OICIID;1;users)", true, restore({kRead}, true), "(A;OICI;1200a9;app)",
       true},
      {"an earlier version's deny, inheriting already", "(A;OICI;1200a9;app)(A;OICIID;1;users)",
       false, restore({kRead}, true), "(A;OICI;1200a9;app)(A;OICIID;1;users)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    DaclDraft dacl{.entries = list(row.before), .is_protected = row.is_protected};
    row.edit(dacl, app.get());
    EXPECT_EQ(text(dacl.entries), row.after);
    EXPECT_EQ(dacl.inherit_again, row.inherit_again);
  }
}

// What an undo record keeps, and what a repeated edit looks for: the SID's explicit entries
// alone, in order.
TEST_F(AceListTable, TheSidsEntriesAreItsExplicitOnes) {
  const AceList entries =
      list("(A;OICIID;1;app)(A;;2;other)(D;;4;app)(X;;8;app)(A;OICI;1200a9;app)(D;;4;app)");
  const std::vector<SidEntry> expected{{ACCESS_DENIED_ACE_TYPE, 0, 4},
                                       {ACCESS_ALLOWED_ACE_TYPE, 3, 0x1200a9},
                                       {ACCESS_DENIED_ACE_TYPE, 0, 4}};
  EXPECT_EQ(entries.of_sid(app.get()), expected);
  EXPECT_EQ(entries.find(app.get(), {ACCESS_DENIED_ACE_TYPE, 0, 4}), 2u);
  EXPECT_EQ(entries.find(app.get(), {ACCESS_ALLOWED_ACE_TYPE, 0x10, 1}), std::nullopt);
  EXPECT_FALSE(entries.holds_only(app.get(), kRead));
  EXPECT_TRUE(list("(A;OICI;1200a9;app)(A;OICIID;1;app)").holds_only(app.get(), kRead));
}

// An ACL read and written again is the same ACL, its revision and any entry's bytes kept;
// one whose sizes do not add up is refused, and one too large to be an ACL is never made.
TEST_F(AceListTable, AnAclReadAndWrittenIsTheSameAcl) {
  auto built = list("(D;OICI;1f01ff;app)(X;;1;other)(A;OICIID;1200a9;users)").to_acl();
  ASSERT_TRUE(built);
  built->get()->AclRevision = ACL_REVISION_DS;
  const WORD size = built->get()->AclSize;
  auto read = AceList::read(built->get());
  ASSERT_TRUE(read);
  auto again = read->to_acl();
  ASSERT_TRUE(again);
  ASSERT_EQ(again->get()->AclSize, size);
  EXPECT_EQ(std::memcmp(again->get(), built->get(), size), 0);
  EXPECT_EQ(AceList::read(nullptr)->entries().size(), 0u);

  built->get()->AclSize = static_cast<WORD>(size - 4);  // the last entry runs past the end
  EXPECT_EQ(AceList::read(built->get()).error().code(),
            HresultError::from_win32(ERROR_INVALID_ACL).code());
  built->get()->AclSize = size;
  // The first entry claims fewer bytes than its SID takes.
  auto* first = reinterpret_cast<ACE_HEADER*>(built->get() + 1);
  first->AceSize = 12;
  EXPECT_FALSE(AceList::read(built->get()));

  std::vector<Ace> many(0xFFFF / 36 + 1, list("(A;;1;app)").entries().front());
  EXPECT_EQ(AceList(many).to_acl().error().code(),
            HresultError::from_win32(ERROR_INVALID_PARAMETER).code());
}

}  // namespace
}  // namespace tavo
