#include "run_journal/process_identity.h"

#include <gtest/gtest.h>

namespace tavo {
namespace {

// A process is told apart by its id and its creation time; a live one is never taken for gone.
TEST(ProcessIdentity, OnlyAProcessKnownToBeGoneCountsAsGone) {
  const std::optional<ProcessIdentity> self = current_process();
  ASSERT_TRUE(self);
  EXPECT_EQ(self->pid, GetCurrentProcessId());
  EXPECT_EQ(current_process(), self);  // the same every time it is read
  EXPECT_TRUE(may_be_running(*self));
  // The same id created at another time is another process: the one named is gone.
  EXPECT_FALSE(may_be_running({self->pid, self->created + 1}));
  // An id no process has (ids are multiples of four on Windows, and far below this here).
  EXPECT_FALSE(may_be_running({0x7FFFFFF1u, self->created}));
}

}  // namespace
}  // namespace tavo
