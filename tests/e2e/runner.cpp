#include "e2e/runner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>

extern char** environ;

namespace tavo::e2e {
namespace {

std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string{} : std::string{value};
}

void drain(int out_fd, int err_fd, Outcome& outcome) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&outcome.out, &outcome.err};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

bool executable(const std::string& path) {
  return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

// Wine as cmake/wine-run finds it: the one found at configure time, else one on PATH.
bool wine_installed() {
  if (executable(env_or_empty("TAVO_WINE"))) return true;
  std::string path = env_or_empty("PATH");
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = std::min(path.find(':', start), path.size());
    if (end > start && executable(path.substr(start, end - start) + "/wine")) return true;
    start = end + 1;
  }
  return false;
}

bool binary_present() {
  std::string binary = env_or_empty("TAVO_BINARY");
  struct stat st {};
  return !binary.empty() && ::stat(binary.c_str(), &st) == 0;
}

}  // namespace

bool emulated() {
  return !env_or_empty("TAVO_EMULATOR").empty();
}

std::optional<std::string> unavailable() {
  if (emulated() && !wine_installed()) return "Wine is not installed";
  std::string binary = env_or_empty("TAVO_BINARY");
  if (!binary_present())
    throw std::runtime_error("the program under test is not built: '" + binary + "'");
  return std::nullopt;
}

std::string program_path(const std::string& host_path) {
  if (!emulated()) return host_path;
  std::string out = "Z:";
  for (char c : host_path)
    out.push_back(c == '/' ? '\\' : c);
  return out;
}

Outcome run(const std::vector<std::string>& args, const EnvChanges& env) {
  std::vector<std::string> argv;
  if (emulated()) {
    argv.push_back(env_or_empty("TAVO_EMULATOR"));
    argv.push_back(env_or_empty("TAVO_WINEPREFIX"));
  }
  argv.push_back(env_or_empty("TAVO_BINARY"));
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(std::move(argv), env);
}

Outcome run_process(std::vector<std::string> argv, const EnvChanges& env) {
  std::map<std::string, std::string> variables;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    auto eq = entry.find('=');
    if (eq != std::string::npos) variables[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  variables.erase("RUST_LOG");
  variables.erase("RUST_LOG_STYLE");
  for (const auto& [name, value] : env) {
    if (value) {
      variables[name] = *value;
    } else {
      variables.erase(name);
    }
  }
  std::vector<std::string> env_entries;
  for (const auto& [name, value] : variables)
    env_entries.push_back(name + "=" + value);

  std::vector<char*> c_argv, c_env;
  for (auto& a : argv)
    c_argv.push_back(a.data());
  c_argv.push_back(nullptr);
  for (auto& e : env_entries)
    c_env.push_back(e.data());
  c_env.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, c_argv[0], &actions, nullptr, c_argv.data(), c_env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  Outcome outcome;
  if (rc != 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    throw std::runtime_error(std::string("cannot start ") + c_argv[0] + ": " + std::strerror(rc));
  }
  drain(out_pipe[0], err_pipe[0], outcome);
  int wait_status = 0;
  ::waitpid(pid, &wait_status, 0);
  outcome.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  return outcome;
}

}  // namespace tavo::e2e

namespace tavo::e2e {
namespace {

// Under Wine every start of a program also starts the prefix's server unless one is running;
// one server kept for the whole suite saves seconds per run.
class EmulatorServer : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!emulated() || !wine_installed() || !binary_present()) return;
    // The server and the helper processes that the first program start brings up outlive
    // this call: they must not hold the pipes that run_process reads. The first start may also
    // set the prefix up and talk about it.
    run_process({"sh", "-c",
                 "wineserver -p >/dev/null 2>&1; \"$TAVO_EMULATOR\" \"$TAVO_WINEPREFIX\" "
                 "\"$TAVO_BINARY\" --probe >/dev/null 2>&1"},
                {{"WINEPREFIX", env_or_empty("TAVO_WINEPREFIX")}});
  }
  void TearDown() override {
    if (!emulated() || !wine_installed() || !binary_present()) return;
    run_process({"wineserver", "-k"}, {{"WINEPREFIX", env_or_empty("TAVO_WINEPREFIX")}});
  }
};

const auto* const server = ::testing::AddGlobalTestEnvironment(new EmulatorServer);

}  // namespace
}  // namespace tavo::e2e
