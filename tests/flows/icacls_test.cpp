// The icacls runner against a stand-in icacls on PATH that records its arguments and answers
// with a chosen exit code and standard error.
#include "path_grant/icacls.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include "flows/host_processes.h"
#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

// Records what it read from standard input, writes to standard output, then writes
// ICACLS_STDERR (with backslash escapes) or ICACLS_FLOOD bytes to standard error and exits with
// ICACLS_EXIT.
constexpr std::string_view kStandIn = R"(#!/bin/sh
PATH=/usr/bin:/bin
cat > "$ICACLS_RECORD.stdin"
echo "to standard output"
printf '%b' "$ICACLS_STDERR" >&2
if [ -n "$ICACLS_FLOOD" ]; then head -c "$ICACLS_FLOOD" /dev/zero | tr '\0' x >&2; fi
exit "${ICACLS_EXIT:-0}"
)";

const std::string kGrant1 = "*S-1-15-2-1-2-3-4-5-6-7:(OI)(CI)(RX)";
const std::string kGrant2 = "*S-1-15-2-7-6-5-4-3-2-1:(OI)(CI)(RX)";

class Icacls : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    dir.write("bin/icacls", kStandIn);
    ::chmod((dir / "bin/icacls").c_str(), 0755);
  }
  void TearDown() override {
    MachineTest::TearDown();
    winsim::end_processes();
  }

  testing::TempDir dir;
  // A Windows PATH: the stand-in's directory first.
  testing::ScopedEnv path{"PATH", dir / "bin" + ";/usr/bin;/bin"};
  testing::ScopedEnv record{"ICACLS_RECORD", dir / "run"};
  testing::ScopedEnv exit_code{"ICACLS_EXIT", std::nullopt};
  testing::ScopedEnv errors{"ICACLS_STDERR", std::nullopt};
  testing::ScopedEnv flood{"ICACLS_FLOOD", std::nullopt};
};

// Standard input is empty, standard output goes nowhere, and a success keeps no error text.
TEST_F(Icacls, PassesTheTargetThenOneGrantPairPerGrantThenTheFlags) {
  testing::set_env("ICACLS_STDERR", "warning: something\n");
  dir.write("input.txt", "not for icacls\n");
  std::expected<IcaclsRun, IoError> run = std::unexpected(IoError::from_win32(0));
  {
    testing::RedirectedDescriptor in(0, dir / "input.txt", O_RDONLY);
    testing::RedirectedDescriptor out(1, dir / "output.txt", O_WRONLY | O_CREAT | O_TRUNC);
    run = run_icacls("C:\\Program Files\\Tools", {kGrant1, kGrant2}, kIcaclsTreeFlags);
  }
  ASSERT_TRUE(run);
  EXPECT_EQ(run->exit_code, 0u);
  EXPECT_EQ(run->error_text, "");
  EXPECT_EQ(dir.read("run.stdin"), "");
  EXPECT_EQ(dir.read("output.txt"), "");
  const winsim::ProcessStart& start = winsim::process_starts().back();
  EXPECT_EQ(start.command_line, "icacls \"C:\\Program Files\\Tools\" /grant " + kGrant1 +
                                    " /grant " + kGrant2 + " /T /C /Q");
  EXPECT_EQ(start.creation_flags, 0u);  // no console or window flags
}

// A failure carries its standard error trimmed, decoded with replacement characters where it is
// not UTF-8; a flood of it cannot stall the run.
TEST_F(Icacls, AFailureCarriesItsStandardError) {
  testing::set_env("ICACLS_EXIT", "1332");  // exit statuses have eight bits: 52
  testing::set_env("ICACLS_STDERR", "\\n  C:\\\\Tools: bad \\0377 byte\\r\\n\\n");
  auto run = run_icacls("C:\\Tools", {kGrant1}, kIcaclsTreeFlags);
  ASSERT_TRUE(run);
  EXPECT_FALSE(run->ok());
  EXPECT_EQ(run->exit_code, 52u);
  EXPECT_EQ(run->error_text, "C:\\Tools: bad \xEF\xBF\xBD byte");

  testing::set_env("ICACLS_STDERR", std::nullopt);
  testing::set_env("ICACLS_FLOOD", "1048576");  // far more than a pipe holds
  run = run_icacls("C:\\Tools", {kGrant1}, kIcaclsTreeFlags);
  ASSERT_TRUE(run);
  EXPECT_EQ(run->error_text.size(), 1048576u);
}

}  // namespace
}  // namespace tavo
