// The progress line of the registrations' long steps, on a console and nowhere else.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <sstream>

#include "flows/admin_machine.h"

namespace tavo {
namespace {

// A pseudo-terminal standing in for a console: winsim takes a terminal for one, and what the
// program writes to it is read back from the other side.
struct PseudoConsole {
  PseudoConsole() {
    EXPECT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    device = ::ptsname(master);
  }
  ~PseudoConsole() { ::close(master); }
  // Everything written to the terminal side, once nothing holds it open any more (a read of the
  // master fails then, after the data written before).
  std::string written() const {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<std::size_t>(n));
    return text;
  }

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  std::string device;  // the terminal side, to open as a standard descriptor
};

class Progress : public AdminMachine {
 protected:
  // Both registrations, with standard error on `device`.
  void register_both(const std::string& device, int flags) {
    start_over();
    root.make_dir("c/Users/ann/.cargo");
    root.make_dir("c/Tools/a-longer-one");
    testing::RedirectedDescriptor err(2, device, flags);
    EXPECT_EQ(run({"--register-sandbox-profile", "--profile-name", "shared", "--sid-out-file",
                   "C:\\ProgramData\\shared.sid"})
                  .status,
              0);
    EXPECT_EQ(
        run({"--register-pool", "--pool-size", "2", "--pool-dir", "C:\\ProgramData\\pool"}).status,
        0);
  }

  testing::ScopedEnv rust_log{"RUST_LOG", std::nullopt};
  // A shorter line after a longer one must not leave the longer one's end behind.
  testing::ScopedEnv longer_first{"PATH", "C:\\Tools\\a-longer-one;C:\\Tools;" + (root / "bin")};
};

// What one row of a screen holds after the text, and the lines it showed one after the other (each
// without the spaces that cover a longer one): a carriage return goes back to the row's start.
std::string row_after(const std::string& text, std::vector<std::string>& shown) {
  std::string row;
  std::size_t column = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line, '\r');) {
    for (char c : line) {
      if (column == row.size()) row.push_back(c);
      row[column++] = c;
    }
    column = 0;
    line.erase(line.find_last_not_of(' ') + 1);
    if (!line.empty()) shown.push_back(line);
  }
  return row;
}

// One line per long step on a console, written over in place and cleared at the end; nothing of
// it where standard error is redirected or RUST_LOG asks for log lines.
TEST_F(Progress, ShowsEachLongStepOnAConsoleOnly) {
  PseudoConsole console;
  register_both(console.device, O_WRONLY | O_NOCTTY);
  const std::string written = console.written();
  std::vector<std::string> shown;
  const std::string row = row_after(written, shown);
  EXPECT_EQ(shown, (std::vector<std::string>{
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
  EXPECT_EQ(written.find('\n'), std::string::npos);
  EXPECT_EQ(row.find_first_not_of(' '), std::string::npos) << row;

  register_both(root / "err", O_WRONLY | O_CREAT | O_TRUNC);
  EXPECT_EQ(root.read("err"), "");
  // Log lines asked for are not broken up by progress.
  testing::ScopedEnv log_filter("RUST_LOG", "off");
  PseudoConsole logged;
  register_both(logged.device, O_WRONLY | O_NOCTTY);
  EXPECT_EQ(logged.written(), "");
}

}  // namespace
}  // namespace tavo
