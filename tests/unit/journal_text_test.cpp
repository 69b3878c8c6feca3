#include "run_journal/journal_text.h"

#include <gtest/gtest.h>

#include "run_journal/journal_store.h"
#include "support/golden.h"

namespace tavo {
namespace {

const ProcessIdentity kOwner{4242, 133'000'000'000'000'000ull};

// An identity whose every byte differs, so that a field read back in the wrong order shows.
const FileIdentity kIdentity{.volume = 0x0123456789ABCDEFull,
                             .file = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87, 0x78, 0x69,
                                      0x5A, 0x4B, 0x3C, 0x2D, 0x1E, 0x0F}};

// A deny entry placed; `legacy`: a deny as earlier versions recorded it (the SID's entries before
// it, the protection).
DaclChange deny_of(std::string object, bool legacy = false) {
  DaclChange change{.kind = ChangeKind::DenyEntry,
                    .path = object,
                    .object = object,
                    .identity = kIdentity,
                    .entries = {{ACCESS_DENIED_ACE_TYPE, 0x3, 0x1F01FF}},
                    .was_protected = false};
  if (legacy) {
    change.kind = ChangeKind::Deny;
    change.entries.push_back({ACCESS_ALLOWED_ACE_TYPE, 0x13, 0x1301BF});
    change.was_protected = true;
  }
  return change;
}

std::string journal_with(const std::vector<DaclChange>& changes, std::string_view tail = "") {
  std::string text = journal_preamble(kOwner, "S-1-15-2-1-2-3-4-5-6-7");
  for (const DaclChange& change : changes)
    text += change_line(change);
  return text.append(tail);
}

// Whatever a run writes reads back as it was: a change without an identity (as though made
// before identities were) and one whose every identity byte differs, so that a field read back in
// the wrong order shows. (The rest of the format is the golden journal's.)
TEST(JournalText, WhatIsWrittenReadsBack) {
  const DaclChange grant{.kind = ChangeKind::Grant,
                         .path = "C:\\a b",
                         .object = "C:\\a b",
                         .identity = std::nullopt,
                         .entries = {},
                         .was_protected = false};
  const DaclChange odd = deny_of("C:\\100% \r\nsure");
  auto read = parse_journal(journal_with({grant, odd}));
  ASSERT_TRUE(read) << read.error();
  ASSERT_EQ(read->changes.size(), 2u);
  EXPECT_EQ(change_line(read->changes[0]), change_line(grant));  // each field written
  EXPECT_EQ(change_line(read->changes[1]), change_line(odd));
  EXPECT_FALSE(read->changes[0].identity);
  EXPECT_EQ(read->changes[1].identity, kIdentity);
  EXPECT_EQ(identity_text(kIdentity), "0123456789abcdef:f0e1d2c3b4a5968778695a4b3c2d1e0f");
}

TEST(JournalText, EarlierReleasesJournalsRead) {
  // An earlier release's version 2: its protecting deny reads back as that kind.
  std::string version2 = journal_with({deny_of("C:\\x", true)});
  version2.replace(0, kJournalHeader.size(), kJournalHeaderVersion2);
  auto legacy = parse_journal(version2);
  ASSERT_TRUE(legacy) << legacy.error();
  ASSERT_EQ(legacy->changes.size(), 1u);
  EXPECT_EQ(change_line(legacy->changes[0]), change_line(deny_of("C:\\x", true)));

  // An earlier release's journal: no identities; each object is its final path.
  auto old = parse_journal(std::string(kJournalHeaderVersion1) +
                           "\nprocess 4242 5\nsid S-1-15-2-1\ndeny 0 0 \\\\?\\C:\\x y\n");
  ASSERT_TRUE(old) << old.error();
  ASSERT_EQ(old->changes.size(), 1u);
  EXPECT_EQ(old->changes[0].object, "\\\\?\\C:\\x y");
  EXPECT_FALSE(old->changes[0].identity);
}

// Proves J2.
TEST(JournalText, TheFileNameNamesTheRun) {
  EXPECT_EQ(owner_from_name("C:\\runs\\" + journal_file_name(kOwner)), kOwner);
  for (const char* name : {"C:\\runs\\4242.journal", "4242-x.journal", "-5.journal", "4242-5.txt",
                           "4242-5-6.journal"}) {
    EXPECT_FALSE(owner_from_name(name)) << name;
  }
}

// The journal of a run that denied a folder, failed one grant and made another, as README.md
// shows the format: tests/data/run.journal is written by hand from that description, not by the
// program. Read, it gives these records; these records, written, give its bytes. A change to the
// format fails here before a journal of an earlier run goes unread. Proves J3 ("dropped").
TEST(JournalText, TheGoldenJournalPinsTheFormat) {
  const std::string golden = testing::golden_file("run.journal");
  ASSERT_FALSE(golden.empty()) << "tests/data/run.journal not found";
  const FileIdentity volume{.volume = 0x5e1c0a7e2b3d4f60};
  auto identity = [&](std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    FileIdentity id = volume;
    id.file = {a, b, 0, 0, 0, 0, 0, 0, c, 0x0f};
    return id;
  };
  const DaclChange deny{.kind = ChangeKind::DenyEntry,
                        .path = "\\\\?\\C:\\work\\secret",
                        .object = "\\\\?\\C:\\work\\secret",
                        .identity = identity(0x2f, 0x1a, 0xa0),
                        .entries = {{ACCESS_DENIED_ACE_TYPE, 0x3, 0x1F01FF}},
                        .was_protected = false};
  const DaclChange failed{.kind = ChangeKind::Grant,
                          .path = "\\\\?\\C:\\work\\src",
                          .object = "\\\\?\\C:\\work\\src",
                          .identity = identity(0xd7, 0xb2, 0xb1),
                          .entries = {{ACCESS_ALLOWED_ACE_TYPE, 0x3, 0x1200A9}},
                          .was_protected = true};
  const DaclChange grant{
      .kind = ChangeKind::Grant,
      .path = "\\\\?\\C:\\work\\100% done\r\n",
      .object = "\\\\?\\C:\\work\\100% done\r\n",
      .identity = identity(0xd8, 0xb2, 0xb1),
      .entries = {{ACCESS_ALLOWED_ACE_TYPE, 0x3, 0x1200A9}, {ACCESS_DENIED_ACE_TYPE, 0x0, 0x10000}},
      .was_protected = false};
  const ProcessIdentity owner{4242, 133774656000000000ull};
  const std::string sid = "S-1-15-2-1-2-3-4-5-6-7";

  auto read = parse_journal(golden);
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(read->owner, owner);
  EXPECT_EQ(read->sid, sid);
  EXPECT_TRUE(read->command_started);
  ASSERT_EQ(read->changes.size(), 2u);  // the failed grant is withdrawn
  for (std::size_t i = 0; i < 2; ++i) {
    const DaclChange& want = i == 0 ? deny : grant;
    const DaclChange& got = read->changes[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(got.kind, want.kind);
    EXPECT_EQ(got.was_protected, want.was_protected);
    EXPECT_EQ(got.identity, want.identity);
    EXPECT_EQ(got.object, want.object);
    EXPECT_TRUE(got.entries == want.entries);
  }

  const std::string written = journal_preamble(owner, sid) + change_line(deny) +
                              change_line(failed) + std::string(kDroppedLine) + change_line(grant) +
                              std::string(kStartedLine);
  EXPECT_EQ(written, golden);
}

// A last line cut short is a change never made. Proves J3.
TEST(JournalText, ATornLastLineIsAChangeNeverMade) {
  const std::string whole = journal_with({deny_of("C:\\x")});
  const std::string torn = whole + change_line(deny_of("C:\\y")).substr(0, 12);
  auto read = parse_journal(torn);
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(read->changes.size(), 1u);
  EXPECT_FALSE(read->command_started);

  // A run that died within its first lines announced nothing.
  for (const std::string& early :
       {std::string(""), std::string("tavo-sandbox run"), whole.substr(0, whole.find("sid"))}) {
    auto read_early = parse_journal(early);
    ASSERT_TRUE(read_early) << early;
    EXPECT_TRUE(read_early->changes.empty());
  }
  EXPECT_EQ(parse_journal(whole.substr(0, whole.find("sid")))->owner, kOwner);  // still its run's
}

// Anything out of form but a torn last line is an error. Proves J3.
TEST(JournalText, DamageIsAnError) {
  const std::string whole = journal_with({deny_of("C:\\x")});
  std::string sixty_five;  // more entries than a SID has on one object
  for (int i = 0; i < 65; ++i)
    sixty_five += " A:0x3:0x1";
  for (const std::string& damaged :
       {std::string("tavo-sandbox run journal 4\n"), whole + "deny 1 1 X:0x3:0x1 C:\\z\n",
        // A deny entry is one entry, on an object known by its identity, from version 3 on.
        whole + "deny-entry 0 2 D:0x3:0x1f01ff D:0x3:0x1 " + identity_text(kIdentity) + " C:\\z\n",
        whole + "deny-entry 0 1 D:0x3:0x1f01ff - C:\\z\n",
        std::string(kJournalHeaderVersion2) + whole.substr(kJournalHeader.size()) +
            change_line(deny_of("C:\\z")),
        whole + "deny 0 0 0123456789abcdef:F0e1d2c3b4a5968778695a4b3c2d1e0f C:\\z\n",
        whole + "deny 0 0 0123456789abcdef:f0e1d2c3b4a5968778695a4b3c2d1e C:\\z\n",
        whole + "deny 1 1 A:0x100:0x1 C:\\z\n", whole + "deny 2 0 C:\\z\n",
        whole + "deny 0 1 C:\\z\n", whole + "deny 0 0 \n", whole + "deny 0 0 - C:\\100%zz\n",
        whole + "started \n", journal_preamble(kOwner, "S-1 x") + "started\n",
        std::string("process 1 2\n"), whole + "deny 0 65" + sixty_five + " C:\\z\n"}) {
    EXPECT_FALSE(parse_journal(damaged)) << damaged;
  }
}

}  // namespace
}  // namespace tavo
