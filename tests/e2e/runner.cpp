#include "e2e/runner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>

#include "support/temp_dir.h"

extern char** environ;

namespace tavo::e2e {
namespace {

std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string{} : std::string{value};
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

  // Standard output and error go to files, read once the process has ended: a helper it leaves
  // running (the emulator's server) cannot hold the test up.
  testing::TempDir files;
  const std::string out = files / "out", err = files / "err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, c_argv[0], &actions, nullptr, c_argv.data(), c_env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    throw std::runtime_error(std::string("cannot start ") + c_argv[0] + ": " + std::strerror(rc));
  }
  int wait_status = 0;
  ::waitpid(pid, &wait_status, 0);
  const int status =
      WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  return {status, files.read("out"), files.read("err")};
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
    // The first start may set the prefix up and talk about it.
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
