// The entry point's dispatch against winsim: the probe touches nothing but its answer, and a probe
// that cannot answer is an internal failure.
#include "entry.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include "flows/host_processes.h"
#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

class Entry : public testing::MachineTest {
 protected:
  testing::TempDir dir;
};

TEST_F(Entry, ProbeWritesOneLineAndTouchesNothingElse) {
  {
    testing::RedirectedDescriptor out(1, dir / "out", O_WRONLY | O_CREAT | O_TRUNC);
    EXPECT_EQ(run_program({"tavo-sandbox", "--probe"}), 0);
  }
  EXPECT_EQ(dir.read("out"), "tavo-sandbox probe ok\n");
  for (const auto& call : winsim::trace())
    EXPECT_TRUE(call.function == "GetStdHandle" || call.function == "GetConsoleMode" ||
                call.function == "WriteFile")
        << call.function;
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
