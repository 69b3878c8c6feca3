// The owners of platform resources: releasing leaves the thread's last error alone, so an owner
// that goes between a failed call and its report does not change the report.
#include <gtest/gtest.h>

#include "win/unique.h"

namespace tavo {
namespace {

// A release that fails, as CloseHandle does on a handle closed behind its owner's back.
struct FailingRelease {
  using pointer = int;
  static pointer invalid() { return 0; }
  static bool holds(pointer value) { return value != 0; }
  static void release(pointer) { SetLastError(ERROR_INVALID_HANDLE); }
};

TEST(Owners, AReleaseKeepsTheLastError) {
  UniqueResource<FailingRelease> owner(1);
  SetLastError(ERROR_FILE_NOT_FOUND);
  owner.reset();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace tavo
