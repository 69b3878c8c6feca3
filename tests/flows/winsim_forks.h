// Processes forked from a winsim test, sharing its machine: each runs its work at once or when
// go() releases them all together, may report to the test, and exits with its work's result.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace tavo::testing {

class Forks {
 public:
  Forks() {
    if (::pipe(go_) != 0 || ::pipe(report_) != 0) ::abort();
  }
  ~Forks() {
    go();
    ::close(report_[0]);
    for (const auto& [pid, status] : statuses_) {
      if (status == kRunning && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    }
  }

  pid_t start(const std::function<bool()>& work, bool at_once = false) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      // A test started from a script may have inherited Ctrl-C and hang-up ignored.
      for (int signal : {SIGINT, SIGHUP, SIGQUIT})
        ::signal(signal, SIG_DFL);
      ::close(go_[1]);
      reporter() = report_[1];
      char byte;
      while (!at_once && ::read(go_[0], &byte, 1) < 0) {
      }
      ::_exit(work() ? 0 : 1);
    }
    statuses_[pid] = kRunning;
    return pid;
  }

  void go() {
    if (go_[1] >= 0) ::close(go_[1]);
    go_[1] = -1;
  }

  // The next `n` bytes the children reported (fewer when they all ended first).
  std::string read(std::size_t n = std::string::npos) {
    if (report_[1] >= 0) ::close(report_[1]);
    report_[1] = -1;
    std::string out;
    for (char byte; out.size() < n && ::read(report_[0], &byte, 1) == 1;)
      out += byte;
    return out;
  }

  int wait(pid_t pid) {
    ::waitpid(pid, &statuses_[pid], 0);
    return statuses_[pid];
  }

  // Releases the children and tells whether each exited with success.
  bool all_succeed() {
    go();
    bool ok = true;
    for (const auto& [pid, status] : statuses_) {
      const int ended = status == kRunning ? wait(pid) : status;
      ok = ok && WIFEXITED(ended) && WEXITSTATUS(ended) == 0;
    }
    return ok;
  }

  // In a child: sends `text` to the test.
  static void report(std::string_view text) {
    [[maybe_unused]] auto written = ::write(reporter(), text.data(), text.size());
  }

 private:
  static constexpr int kRunning = -1;
  static int& reporter() {
    static int fd = -1;
    return fd;
  }

  int go_[2] = {-1, -1};
  int report_[2] = {-1, -1};
  std::map<pid_t, int> statuses_;  // each child's wait status; kRunning until it is reaped
};

}  // namespace tavo::testing
