// The entry point's dispatch against winsim: what the probe touches, and a probe that cannot
// answer.
#include "entry.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <set>

#include "flows/host_processes.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

class Entry : public testing::MachineTest {
 protected:
  testing::TempDir dir;
};

TEST_F(Entry, ProbeWritesOneLineAndTouchesNothingElse) {
  testing::LogCapture log;
  int status;
  {
    testing::RedirectedDescriptor out(1, dir / "out", O_WRONLY | O_CREAT | O_TRUNC);
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
        testing::RedirectedDescriptor out(1, dir / "out", O_WRONLY | O_CREAT | O_TRUNC);
        winsim::fail_next_call("WriteFile", "", ERROR_BROKEN_PIPE);
        std::exit(run_program({"tavo-sandbox", "--probe"}));
      },
      ::testing::ExitedWithCode(101),
      "tavo-sandbox: internal error: cannot write to standard output");
}

}  // namespace
}  // namespace tavo
