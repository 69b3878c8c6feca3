// The entry point's dispatch against winsim: what each answer touches.
#include "entry.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <winsim/testing.h>

#include <cstdio>
#include <set>

#include "support/log_capture.h"
#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

// Standard output redirected into a file while alive.
class CapturedStdout {
 public:
  explicit CapturedStdout(const std::string& file) {
    std::fflush(stdout);
    saved_ = ::dup(1);
    std::FILE* f = std::fopen(file.c_str(), "w");
    ::dup2(::fileno(f), 1);
    std::fclose(f);
  }
  ~CapturedStdout() {
    ::dup2(saved_, 1);
    ::close(saved_);
  }

 private:
  int saved_;
};

class Entry : public testing::MachineTest {
 protected:
  testing::TempDir dir;
};

TEST_F(Entry, ProbeWritesOneLineAndTouchesNothingElse) {
  testing::LogCapture log;
  int status;
  {
    CapturedStdout out(dir / "out");
    status = run_program({"tavo-sandbox", "--probe"});
  }
  EXPECT_EQ(status, 0);
  EXPECT_EQ(dir.read("out"), "tavo-sandbox probe ok\n");
  EXPECT_TRUE(log.lines().empty());
  std::set<std::string> touched;
  for (const auto& call : winsim::trace())
    touched.insert(call.function);
  EXPECT_EQ(touched, (std::set<std::string>{"GetStdHandle", "GetConsoleMode", "WriteFile"}));
}

TEST_F(Entry, AProbeThatCannotBeWrittenIsAnInternalFailure) {
  EXPECT_EXIT(
      {
        CapturedStdout out(dir / "out");
        winsim::fail_next_call("WriteFile", "", ERROR_BROKEN_PIPE);
        std::exit(run_program({"tavo-sandbox", "--probe"}));
      },
      ::testing::ExitedWithCode(101),
      "tavo-sandbox: internal error: cannot write to standard output");
}

TEST_F(Entry, ARejectedCommandLineIsLoggedOnceWithStatus10) {
  testing::LogCapture log;
  EXPECT_EQ(run_program({"tavo-sandbox", "--pool-size"}), 10);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0], "[ERROR tavo_sandbox] --pool-size requires a value\n");
}

TEST_F(Entry, PoolVersionCheckAnswersWithItsStatus) {
  testing::LogCapture log;
  EXPECT_EQ(run_program({"tavo-sandbox", "--check-pool-version", "--pool-dir", dir.path()}), 16);
  EXPECT_EQ(log.text(), "[INFO  tavo_sandbox] pool registration is stale (expected v1)\n");
  dir.write(".registration-version", "1\n");
  EXPECT_EQ(run_program({"tavo-sandbox", "--check-pool-version", "--pool-dir", dir.path()}), 0);
}

}  // namespace
}  // namespace tavo
