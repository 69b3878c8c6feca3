// Progress of the registrations on a console: one line per long step, written over in place and
// cleared at the end; nothing of it where standard error is redirected or RUST_LOG asks for log
// lines; the machine ends the same either way.
#include <gtest/gtest.h>

#include <sstream>

#include "flows/admin_machine.h"
#include "flows/host_processes.h"
#include "flows/pseudo_console.h"

namespace tavo {
namespace {

class Progress : public testing::AdminMachine {
 protected:
  Progress() { start_over_with_state(); }

  // Both registrations, with standard error on `device`.
  void register_both(const std::string& device, int flags) {
    root.make_dir("c/Users/ann/.cargo");
    root.make_dir("c/Tools/a-longer-one");
    testing::RedirectedDescriptor err(2, device, flags);
    ASSERT_EQ(run({"--register-sandbox-profile", "--profile-name", "shared", "--sid-out-file",
                   "C:\\ProgramData\\shared.sid"})
                  .status,
              0);
    ASSERT_EQ(
        run({"--register-pool", "--pool-size", "2", "--pool-dir", "C:\\ProgramData\\pool"}).status,
        0);
  }
  // What the machine holds afterwards: its state, the files written and the icacls runs.
  std::string machine() const {
    std::string out = root.read("state") + root.read("c/ProgramData/shared.sid");
    for (const std::string& name : names_in("C:\\ProgramData\\pool"))
      out += name + "\n";
    for (const std::string& target : icacls.targets())
      out += target + "\n";
    return out;
  }
  // A fresh machine kept in the state file from the start, so that what the fixture arranges
  // (the stand-in icacls's directory open to every AppContainer) is part of it.
  void start_over_with_state() {
    std::filesystem::remove(root / "state");
    start_over();
  }

  testing::ScopedEnv state{"WINSIM_STATE", root / "state"};
  testing::ScopedEnv rust_log{"RUST_LOG", std::nullopt};
  // A shorter line after a longer one must not leave the longer one's end behind.
  testing::ScopedEnv longer_first{"PATH", "C:\\Tools\\a-longer-one;C:\\Tools;" + (root / "bin")};
};

// The lines the text shows one after the other, each without the spaces that cover a longer one.
std::vector<std::string> lines_shown(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line, '\r');) {
    line.erase(line.find_last_not_of(' ') + 1);
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// What one row of a screen holds after the text: a carriage return goes back to its start.
std::string row_after(const std::string& text) {
  std::string row;
  std::size_t column = 0;
  for (char c : text) {
    if (c == '\r') {
      column = 0;
      continue;
    }
    if (column == row.size()) row.push_back(c);
    row[column++] = c;
  }
  return row;
}

TEST_F(Progress, ShowsEachLongStepOnAConsoleOnlyAndChangesNothing) {
  testing::PseudoConsole console;
  register_both(console.device(), O_WRONLY | O_NOCTTY);
  const std::string shown = console.written();
  const std::string with_progress = machine();
  EXPECT_EQ(lines_shown(shown),
            (std::vector<std::string>{
                "[1/2] icacls C:\\Tools\\a-longer-one",
                "[2/2] icacls C:\\Tools",
                "[1/2] tavo-sandbox-pool-0: profile",
                "[2/2] tavo-sandbox-pool-1: profile",
                "[1/2] tavo-sandbox-pool-0: credential denies, NUL device, SID file",
                "[2/2] tavo-sandbox-pool-1: credential denies, NUL device, SID file",
                "[1/2] tavo-sandbox-pool-0: traversal and package directory grants",
                "[2/2] tavo-sandbox-pool-1: traversal and package directory grants",
                "[1/2] icacls C:\\Tools\\a-longer-one",
                "[2/2] icacls C:\\Tools",
                "[1/1] icacls C:\\Users\\ann\\.cargo",
            }));
  EXPECT_EQ(shown.find('\n'), std::string::npos);
  EXPECT_EQ(row_after(shown).find_first_not_of(' '), std::string::npos) << row_after(shown);

  start_over_with_state();
  register_both(root / "err", O_WRONLY | O_CREAT | O_TRUNC);
  EXPECT_EQ(root.read("err"), "");
  EXPECT_EQ(machine(), with_progress);

  // Log lines asked for are not broken up by progress.
  start_over_with_state();
  testing::PseudoConsole logged;
  {
    testing::ScopedEnv log_filter("RUST_LOG", "off");
    register_both(logged.device(), O_WRONLY | O_NOCTTY);
  }
  EXPECT_EQ(logged.written(), "");
}

}  // namespace
}  // namespace tavo
