// GoogleTest's usual entry point, with one difference: a run in which every test was skipped ends
// with TAVO_SKIP_STATUS, which ctest reports as skipped instead of passed. A run that passed some
// tests and skipped others passes.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  int status = RUN_ALL_TESTS();
  const ::testing::UnitTest& run = *::testing::UnitTest::GetInstance();
  bool all_skipped =
      run.test_to_run_count() > 0 && run.skipped_test_count() == run.test_to_run_count();
  return status == 0 && all_skipped ? TAVO_SKIP_STATUS : status;
}
