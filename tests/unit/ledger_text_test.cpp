// The ledger's text: what is written reads back the same, a torn last line is a record never
// finished, and anything else that is not a record makes the whole ledger unreadable.
#include "run_journal/ledger_text.h"

#include <gtest/gtest.h>

#include "base/utc_time.h"
#include "support/golden.h"

namespace tavo {
namespace {

LedgerEntry entry(EntryKind kind, std::string object, std::optional<FileIdentity> identity) {
  return LedgerEntry{
      .kind = kind,
      .sid = "S-1-15-2-1-2-3-4-5-6-7",
      .level = kind == EntryKind::Icacls ? "(OI)(CI)RX" : "rw",
      .options = kind == EntryKind::Icacls ? "/T" : "-",
      .placed = 133536836960000000,
      .identity = identity,
      .object = std::move(object),
  };
}

bool same(const LedgerEntry& a, const LedgerEntry& b) {
  return a.kind == b.kind && a.sid == b.sid && a.level == b.level && a.options == b.options &&
         a.placed == b.placed && a.identity == b.identity && a.object == b.object;
}

// A path with '%', spaces and line breaks reads back as written. (Every kind, and the rest of the
// format, is the golden ledger's.)
TEST(LedgerText, AnyPathReadsBackAsWritten) {
  const FileIdentity identity{.volume = 0x5e1c0a7e2b3d4f60, .file = {0xd7, 0xb2}};
  const LedgerEntry written = entry(EntryKind::Grant, "\\\\?\\C:\\work\\a b%20\nc\r", identity);
  const std::string text = ledger_text({written});
  EXPECT_EQ(text,
            "tavo-sandbox ledger 1\ngrant S-1-15-2-1-2-3-4-5-6-7 rw - 133536836960000000 "
            "5e1c0a7e2b3d4f60:d7b20000000000000000000000000000 \\\\?\\C:\\work\\a b%2520%0Ac%0D\n");
  auto read = parse_ledger(text);
  ASSERT_TRUE(read) << read.error();
  ASSERT_EQ(read->size(), 1u);
  EXPECT_TRUE(same(read->front(), written));
}

// A writer that died within its last line never finished that record. Proves L4.
TEST(LedgerText, ATornLastLineIsARecordNeverFinished) {
  const std::string text = ledger_text({entry(EntryKind::NulDevice, "NUL", std::nullopt)});
  auto read = parse_ledger(text + "grant S-1-15-2-1 r - 1 - C:\\half");
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(read->size(), 1u);
  EXPECT_TRUE(parse_ledger("")->empty());
}

// A ledger holding one record of every kind, as README.md shows the format: tests/data/
// entries.ledger is written by hand from that description, not by the program. Read, it gives
// these records in this order; these records, written, give its bytes. Proves L6 (a standing
// deny makes it version 2).
TEST(LedgerText, TheGoldenLedgerPinsTheFormat) {
  const std::string golden = testing::golden_file("entries.ledger");
  ASSERT_FALSE(golden.empty()) << "tests/data/entries.ledger not found";
  auto at = [](std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    return FileIdentity{.volume = 0x5e1c0a7e2b3d4f60, .file = {a, b, 0, 0, 0, 0, 0, 0, c, 0x0f}};
  };
  auto record = [](EntryKind kind, std::string level, std::string options, std::uint64_t placed,
                   std::optional<FileIdentity> identity, std::string object) {
    return LedgerEntry{.kind = kind,
                       .sid = "S-1-15-2-1-2-3-4-5-6-7",
                       .level = std::move(level),
                       .options = std::move(options),
                       .placed = placed,
                       .identity = identity,
                       .object = std::move(object)};
  };
  constexpr std::uint64_t kPlaced = 134093580050000000;
  const std::vector<LedgerEntry> records = {
      record(EntryKind::Traverse, "traverse", "-", kPlaced, at(0xd7, 0xb2, 0xb1),
             "\\\\?\\C:\\work"),
      record(EntryKind::NulDevice, "rw", "-", kPlaced, std::nullopt, "NUL"),
      record(EntryKind::Grant, "rw", "-", kPlaced, at(0x2f, 0x1a, 0xa0), "\\\\?\\C:\\work\\proj%"),
      record(EntryKind::Icacls, "(OI)(CI)(RX)", "/T", kPlaced, std::nullopt, "C:\\Tools"),
      record(EntryKind::Deny, "deny", "-", kPlaced + 1, at(0x2f, 0x1b, 0xa0),
             "\\\\?\\C:\\Users\\u\\.ssh"),
      record(EntryKind::StandingDeny, "deny", "-", kPlaced + 2, at(0x2f, 0x1c, 0xa0),
             "\\\\?\\C:\\work\\secret"),
  };
  auto read = parse_ledger(golden);
  ASSERT_TRUE(read) << read.error();
  ASSERT_EQ(read->size(), records.size());
  for (std::size_t i = 0; i < records.size(); ++i)
    EXPECT_TRUE(same((*read)[i], records[i])) << i;
  EXPECT_EQ(ledger_text(records), golden);
}

// A standing deny needs the later version, so that earlier programs never misread one; a ledger
// without one stays readable to them. Proves L6.
TEST(LedgerText, OnlyAStandingDenyMakesTheLedgerVersion2) {
  FileIdentity identity{.volume = 7, .file = {1}};
  std::vector<LedgerEntry> written = {entry(EntryKind::Grant, "C:\\a", identity)};
  EXPECT_TRUE(ledger_text(written).starts_with("tavo-sandbox ledger 1\n"));
  written.push_back(entry(EntryKind::StandingDeny, "C:\\a\\.git", identity));
  const std::string text = ledger_text(written);
  EXPECT_TRUE(text.starts_with("tavo-sandbox ledger 2\ngrant ")) << text;
  EXPECT_NE(text.find("\nstanding-deny S-1-15-2-1-2-3-4-5-6-7 rw"), std::string::npos) << text;
  auto read = parse_ledger(text);
  ASSERT_TRUE(read) << read.error();
  ASSERT_EQ(read->size(), 2u);
  EXPECT_TRUE(same(read->back(), written.back()));
}

// Proves L4: any line that is not a record, but a torn last one, makes the ledger unreadable.
TEST(LedgerText, ALineThatIsNoRecordMakesTheLedgerUnreadable) {
  const std::string good = "grant S-1-15-2-1 r - 1 - C:\\a\n";
  const std::pair<const char*, const char*> cases[] = {
      {"tavo-sandbox ledger 3\n", "not a ledger of this version"},
      {"deny-all S-1-15-2-1 r - 1 - C:\\a\n", "line 3: not a record"},
      {"grant X-1 r - 1 - C:\\a\n", "line 3: not a record"},
      {"grant S-1-15-2-1 r - x1 - C:\\a\n", "line 3: not a record"},
      {"grant S-1-15-2-1 r - 1 5e1c:d7 C:\\a\n", "line 3: not a record"},
      {"grant S-1-15-2-1 r - 1 - C:\\%41\n", "line 3: not a record"},
      {"grant S-1-15-2-1 r - 1 -\n", "line 3: not a record"},
      {"\n", "line 3: not a record"},
  };
  for (const auto& [line, message] : cases) {
    const std::string text = std::string_view(line).starts_with("tavo-sandbox")
                                 ? std::string(line)
                                 : std::string(kLedgerHeader) + "\n" + good + line;
    auto read = parse_ledger(text);
    ASSERT_FALSE(read) << line;
    EXPECT_EQ(read.error(), message) << line;
  }
}

// One record per SID, object and kind: an object by its identity where both records have one,
// else by its path. Proves L2 (what a place is).
TEST(LedgerText, APlaceIsOneSidsKindOfEntryOnOneObject) {
  const FileIdentity one{.volume = 1, .file = {1}};
  const FileIdentity two{.volume = 1, .file = {2}};
  const LedgerEntry grant = entry(EntryKind::Grant, "\\\\?\\C:\\a", one);
  EXPECT_TRUE(grant.same_place(entry(EntryKind::Grant, "\\\\?\\C:\\renamed", one)));
  EXPECT_FALSE(grant.same_place(entry(EntryKind::Grant, "\\\\?\\C:\\a", two)));
  EXPECT_FALSE(grant.same_place(entry(EntryKind::Traverse, "\\\\?\\C:\\a", one)));
  EXPECT_FALSE(grant.same_place(entry(EntryKind::Grant, "\\\\?\\C:\\a", std::nullopt)));
  LedgerEntry other_sid = grant;
  other_sid.sid = "S-1-15-2-9";
  EXPECT_FALSE(grant.same_place(other_sid));
  EXPECT_TRUE(entry(EntryKind::NulDevice, "NUL", std::nullopt)
                  .same_place(entry(EntryKind::NulDevice, "NUL", std::nullopt)));
}

TEST(UtcText, FollowsTheGregorianLeapYears) {
  EXPECT_EQ(utc_text(0), "1601-01-01T00:00:00Z");
  EXPECT_EQ(utc_text(116444736000000000), "1970-01-01T00:00:00Z");
  EXPECT_EQ(utc_text(133536836960000000), "2024-02-29T12:34:56Z");
  EXPECT_EQ(utc_text(126227807999999999), "2000-12-31T23:59:59Z");
  EXPECT_EQ(utc_text(157520160000000000), "2100-03-01T00:00:00Z");
}

}  // namespace
}  // namespace tavo
