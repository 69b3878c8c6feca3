// Reading the journals a listing found: which come back, and with what reason when unreadable.
#include "run_journal/journal_store.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/error.h"

namespace tavo {
namespace {

class JournalStore : public testing::MachineTest {
 protected:
  testing::TempDir dir;
};

// Proves J7: a journal that is there but cannot be opened comes back with the reason, for
// recovery to set aside, never left out as though its run had taken it away.
TEST_F(JournalStore, AJournalThatCannotBeOpenedComesBackWithTheReason) {
  dir.write("1-2.journal", "");
  winsim::fail_next_call("CreateFileW", "1-2.journal", ERROR_ACCESS_DENIED);
  const std::vector<StoredJournal> journals = read_journals({dir / "1-2.journal"});
  ASSERT_EQ(journals.size(), 1u);
  EXPECT_EQ(journals[0].path, dir / "1-2.journal");
  EXPECT_EQ(journals[0].owner, (ProcessIdentity{1, 2}));
  ASSERT_FALSE(journals[0].contents);
  EXPECT_EQ(journals[0].contents.error(), IoError::from_win32(ERROR_ACCESS_DENIED).display());
}

// A journal gone since the listing belongs to a run that ended, or to another recovery.
TEST_F(JournalStore, AJournalGoneSinceTheListingIsLeftOut) {
  EXPECT_TRUE(read_journals({dir / "3-4.journal"}).empty());
}

}  // namespace
}  // namespace tavo
