// The modes' dispatch as a user meets it: the probe.
#include <fcntl.h>

#include <cstdlib>

#include "flows/admin_machine.h"

namespace tavo {
namespace {

// The probe answers; a probe that cannot answer is an internal failure.
using Probe = AdminMachine;
TEST_F(Probe, WritesOneLineOrFailsInternally) {
  EXPECT_EQ(run({"--probe"}).out, "tavo-sandbox probe ok\n");
  EXPECT_EXIT(
      {
        testing::RedirectedDescriptor out(1, root / "out", O_WRONLY | O_CREAT | O_TRUNC);
        winsim::fail_next_call("WriteFile", "", ERROR_BROKEN_PIPE);
        std::exit(run_program({"tavo-sandbox", "--probe"}));
      },
      ::testing::ExitedWithCode(101),
      "tavo-sandbox: internal error: cannot write to standard output");
}

}  // namespace
}  // namespace tavo
