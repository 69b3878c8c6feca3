// The user's ledger as a store shared by every run: one record per place, written whole, within
// its bound, and read only from a folder and a file no one else controls.
#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <filesystem>

#include "run_journal/ledger.h"
#include "runtime/log.h"
#include "support/env.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

constexpr std::string_view kSid = "S-1-15-2-1-2-3-4-5-6-7";
constexpr std::string_view kOtherUser = "S-1-5-21-1004336348-1177238915-682003330-1002";

class LedgerStore : public testing::MachineTest {
 protected:
  LedgerStore() { root.make_dir("c/Users/u/AppData/Local"); }

  static LedgerEntry record(EntryKind kind, std::string object, std::string level = "rw",
                            std::string_view sid = kSid) {
    return LedgerEntry{.kind = kind,
                       .sid = std::string(sid),
                       .level = std::move(level),
                       .options = "-",
                       .placed = 133536836960000000,
                       .identity = std::nullopt,
                       .object = std::move(object)};
  }
  static Ledger user_ledger() {
    std::optional<LedgerFolder> folder = user_ledger_folder();
    EXPECT_TRUE(folder);
    return Ledger(std::move(*folder));
  }
  // What the ledger holds, one "kind level object" a record.
  static std::vector<std::string> held(const Ledger& ledger) {
    auto entries = ledger.read();
    EXPECT_TRUE(entries) << entries.error();
    std::vector<std::string> out;
    for (const LedgerEntry& entry : entries.value_or(std::vector<LedgerEntry>{}))
      out.push_back(std::string(kind_name(entry.kind)) + " " + entry.level + " " + entry.object);
    return out;
  }
  // Whole files written into the ledger's folder so far.
  static std::size_t writes() { return winsim::count_calls("CreateFileW", ".entries.ledger."); }

  static constexpr const char* kDir = "c/Users/u/AppData/Local/Tavo/ledger";
  static constexpr const char* kFile = "c/Users/u/AppData/Local/Tavo/ledger/entries.ledger";
  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
  testing::ScopedEnv local{"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"};
};

// A place is the SID, the kind and the object: the same place again writes nothing, with another
// level it is replaced and counts as placed last; forgetting one place leaves the others, and
// forgetting what is not recorded writes nothing.
// Proves L2.
TEST_F(LedgerStore, OneRecordPerPlaceTheLatestLast) {
  Ledger ledger = user_ledger();
  EXPECT_EQ(ledger.note(record(EntryKind::Grant, "C:\\a")), true);
  EXPECT_EQ(ledger.note(record(EntryKind::Traverse, "C:\\a", "traverse")), true);
  EXPECT_EQ(ledger.note(record(EntryKind::Grant, "C:\\b")), true);
  EXPECT_EQ(ledger.note(record(EntryKind::Grant, "C:\\a", "rw", "S-1-15-2-9")), true);
  const std::size_t written = writes();
  LedgerEntry later = record(EntryKind::Grant, "C:\\a");
  later.placed += 1;
  EXPECT_EQ(ledger.note(later), false);
  EXPECT_EQ(writes(), written);
  EXPECT_EQ(ledger.note(record(EntryKind::Grant, "C:\\a", "r")), false);
  EXPECT_EQ(held(ledger), (std::vector<std::string>{"traverse traverse C:\\a", "grant rw C:\\b",
                                                    "grant rw C:\\a", "grant r C:\\a"}));

  ASSERT_TRUE(ledger.forget(record(EntryKind::Grant, "C:\\a")));
  EXPECT_EQ(held(ledger), (std::vector<std::string>{"traverse traverse C:\\a", "grant rw C:\\b",
                                                    "grant rw C:\\a"}));
  const std::size_t before = writes();
  ASSERT_TRUE(ledger.forget(record(EntryKind::Grant, "C:\\never")));
  EXPECT_EQ(writes(), before);
  // No file left beside the ledger by its writes.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root / kDir),
                          std::filesystem::directory_iterator()),
            1);
}

// A writer that died within its last line left a record never finished: it is not read, and the
// next change writes the ledger whole without it.
// Proves L4.
TEST_F(LedgerStore, ATornLastLineIsDroppedByTheNextChange) {
  Ledger ledger = user_ledger();
  ASSERT_TRUE(ledger.note(record(EntryKind::Grant, "C:\\a")));
  root.write(kFile, root.read(kFile) + "grant S-1-15-2-1 r - 1 - C:\\ha");
  EXPECT_EQ(held(ledger), std::vector<std::string>{"grant rw C:\\a"});
  ASSERT_TRUE(ledger.note(record(EntryKind::Grant, "C:\\b")));
  EXPECT_EQ(root.read(kFile).find("C:\\ha"), std::string::npos);
  EXPECT_EQ(held(ledger), (std::vector<std::string>{"grant rw C:\\a", "grant rw C:\\b"}));
}

// A ledger past its bound is not read: the next record sets it aside (kept for a person to look
// at) and starts a new one. A record that would take the ledger past its bound is refused, and the
// ledger stays as it was.
// Proves L4 (set aside, never deleted).
TEST_F(LedgerStore, NoLedgerPassesItsBound) {
  Ledger ledger = user_ledger();
  ASSERT_TRUE(ledger.note(record(EntryKind::Grant, "C:\\a")));
  const std::string huge =
      std::string(kLedgerHeader) + "\n" + std::string(kMaxLedgerBytes - kLedgerHeader.size(), '\n');
  root.write(kFile, huge);
  auto read = ledger.read();
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error(), "it is larger than 4194304 bytes (4194305 bytes)");
  {
    testing::LogCapture log(Level::Warn);
    ASSERT_TRUE(ledger.note(record(EntryKind::Grant, "C:\\b")));
    EXPECT_TRUE(log.contains("set aside as")) << log.text();
  }
  EXPECT_EQ(held(ledger), std::vector<std::string>{"grant rw C:\\b"});
  EXPECT_EQ(root.read(std::string(kFile) + ".unreadable"), huge);

  // Records whose lines fill the ledger to just below its bound.
  const std::string long_path = "C:\\" + std::string(4000, 'p');
  std::vector<LedgerEntry> entries;
  std::string text = ledger_text(entries);
  for (int i = 0; text.size() + 4100 < kMaxLedgerBytes; ++i) {
    entries.push_back(record(EntryKind::Grant, long_path + std::to_string(i)));
    text += ledger_line(entries.back());
  }
  root.write(kFile, text);
  auto refused = ledger.note(record(EntryKind::Grant, long_path + long_path));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "it would pass 4194304 bytes");
  EXPECT_EQ(root.read(kFile), text);
}

// The folder and the file are the user's alone. A folder someone else owns is moved aside and
// never read; a file someone else owns is not read; and the folder, once checked, is held until
// the ledger is written, so that swapping it for a link meanwhile fails and the record lands
// where it belongs.
// Proves L5 and the held folder of L3.
TEST_F(LedgerStore, WhatOthersControlIsNeverReadNorWrittenThrough) {
  root.make_dir(kDir);
  root.write(kFile, std::string(kLedgerHeader) + "\ngrant S-1-15-2-1 rw - 1 - C:\\planted\n");
  winsim::set_owner(root / kDir, kOtherUser);
  winsim::set_owner(root / kFile, kOtherUser);
  Ledger ledger = user_ledger();
  {
    testing::LogCapture log(Level::Warn);
    ASSERT_TRUE(ledger.note(record(EntryKind::Grant, "C:\\a")));
    EXPECT_TRUE(log.contains("Tavo\\ledger is not owned by")) << log.text();
  }
  EXPECT_EQ(held(ledger), std::vector<std::string>{"grant rw C:\\a"});

  winsim::set_owner(root / kFile, kOtherUser);
  auto read = ledger.read();
  ASSERT_FALSE(read);
  EXPECT_NE(read.error().find("is not owned by"), std::string::npos) << read.error();
  winsim::set_owner(root / kFile, "");

  root.make_dir("c/elsewhere");
  winsim::replace_with_link_after("CreateFileW", "ledger\\entries.ledger",
                                  "C:\\Users\\u\\AppData\\Local\\Tavo\\ledger", "C:\\elsewhere");
  ASSERT_TRUE(ledger.note(record(EntryKind::Grant, "C:\\b")));
  EXPECT_EQ(winsim::count_calls("replace_with_link"), 1u);
  EXPECT_FALSE(std::filesystem::is_symlink(root / kDir));
  EXPECT_TRUE(std::filesystem::is_empty(root / "c/elsewhere"));
  EXPECT_EQ(held(ledger), (std::vector<std::string>{"grant rw C:\\a", "grant rw C:\\b"}));
}

}  // namespace
}  // namespace tavo
