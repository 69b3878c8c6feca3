#include "e2e/runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tavo::e2e {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string{} : std::string{value};
}

// Wine as cmake/wine-run finds it: the one found at configure time, else one on PATH.
bool wine_installed() {
  return ::access(env("TAVO_WINE").c_str(), X_OK) == 0 ||
         run_process({"sh", "-c", "command -v wine"}).status == 0;
}

bool binary_present() {
  return !env("TAVO_BINARY").empty() && std::filesystem::exists(env("TAVO_BINARY"));
}

}  // namespace

bool emulated() {
  return !env("TAVO_EMULATOR").empty();
}

std::optional<std::string> unavailable() {
  if (emulated() && !wine_installed()) return "Wine is not installed";
  if (!binary_present())
    throw std::runtime_error("the program under test is not built: '" + env("TAVO_BINARY") + "'");
  return std::nullopt;
}

std::string program_path(const std::string& host_path) {
  if (!emulated()) return host_path;
  std::string out = "Z:";
  for (char c : host_path)
    out.push_back(c == '/' ? '\\' : c);
  return out;
}

namespace {

// Now and then Wine's client loses its connection to the Wine server while a program starts
// ("wine client error: ... Connection reset by peer", silenced with the rest of Wine's messages)
// and ends it with status 1 and nothing on either stream: once on a CI machine, and here 3 in
// 6,000 starts when each start brings up a server of its own. Under Wine these tests run only
// invocations that fail before they change anything and never a command, so the program itself
// never ends that way, and starting it again is safe.
constexpr int kEmulatorRetries = 2;

bool emulator_failed(const Outcome& outcome) {
  return emulated() && outcome.status == 1 && outcome.out.empty() && outcome.err.empty();
}

}  // namespace

Outcome run(const std::vector<std::string>& args, const EnvChanges& env_changes) {
  std::vector<std::string> argv;
  if (emulated()) argv = {env("TAVO_EMULATOR"), env("TAVO_WINEPREFIX")};
  argv.push_back(env("TAVO_BINARY"));
  argv.insert(argv.end(), args.begin(), args.end());
  Outcome outcome = run_process(argv, env_changes);
  for (int again = 0; again < kEmulatorRetries && emulator_failed(outcome); ++again)
    outcome = run_process(argv, env_changes);
  return outcome;
}

Outcome run_process(const std::vector<std::string>& argv, const EnvChanges& env_changes) {
  // env(1) makes the changes and starts the program in its place.
  std::vector<std::string> line = {"env", "-u", "RUST_LOG", "-u", "RUST_LOG_STYLE"};
  for (const auto& [name, value] : env_changes) {
    if (value) {
      line.push_back(name + "=" + *value);
    } else {
      line.insert(line.begin() + 1, {"-u", name});
    }
  }
  line.insert(line.end(), argv.begin(), argv.end());
  std::vector<char*> c_argv;
  for (auto& word : line)
    c_argv.push_back(word.data());
  c_argv.push_back(nullptr);

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
  const int rc = ::posix_spawn(&pid, "/usr/bin/env", &actions, nullptr, c_argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error(std::string("cannot start env: ") + std::strerror(rc));
  int wait_status = 0;
  ::waitpid(pid, &wait_status, 0);
  const int status =
      WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  return {status, files.read("out"), files.read("err")};
}

std::string stored_dacl(const testing::TempDir& root, std::string_view name) {
  std::ifstream state(root / "state");
  const std::string key = "object\t" + (root / name) + "\t";
  for (std::string line; std::getline(state, line);) {
    if (line.starts_with(key)) return line.substr(key.size());
  }
  return "";
}

void SharedMachine::SetUp() {
  if (auto reason = unavailable()) GTEST_SKIP() << *reason;
  if (emulated()) GTEST_SKIP() << "needs the simulated machine shared by processes";
  for (const char* dir : {"c/work/a", "c/work/b", "c/work/git", "c/work/secret", "c/work/cred",
                          "c/work/target", kRuns})
    root.make_dir(dir);
  root.write("sid", std::string(kSid) + "\n");
  initial_state = "winsim-state 1\n";
  for (const auto& [folder, sddl] :
       {std::pair{"secret", kOwnerProtected}, {"cred", kDenied}, {"target", kOwnerProtected}})
    initial_state += "object\t" + (root / (std::string("c/work/") + folder)) + "\t" + sddl + "\n";
  root.write("state", initial_state);
}

EnvChanges SharedMachine::machine(EnvChanges more) const {
  more.insert(more.end(), {{"WINSIM_ROOT", root.path()},
                           {"WINSIM_STATE", root / "state"},
                           {"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"}});
  return more;
}

std::vector<std::string> SharedMachine::run_args(const std::vector<std::string>& options,
                                                 const std::vector<std::string>& command) const {
  std::vector<std::string> args = {"--profile-name", "p", "--sandbox-sid-file", root / "sid"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back("--");
  args.insert(args.end(), command.begin(), command.end());
  return args;
}

std::vector<SharedMachine::KillPoint> SharedMachine::kill_points() const {
  std::vector<KillPoint> points;
  std::map<std::string, std::size_t> seen;
  std::istringstream trace(root.read("trace"));
  for (std::string line; std::getline(trace, line);) {
    std::string function = line.substr(0, line.find('\t'));
    const std::size_t nth = ++seen[function];
    points.push_back({line, std::move(function), nth});
  }
  return points;
}

void SharedMachine::run_killed_at(const KillPoint& at, const std::vector<std::string>& args) const {
  // The ledger is a file of its own, outside the machine's state: without it each killed run
  // records its entries again and makes the traced run's calls.
  std::filesystem::remove_all(root / kLedger);
  root.write("state",
             initial_state + "fault\t" + at.function + "\t\tdie:" + std::to_string(at.nth) + "\n");
  ASSERT_EQ(run(args, machine()).status, 128 + 9);
  std::string state = root.read("state");
  state.erase(state.find("fault\t"));  // written last
  root.write("state", state);
}

bool SharedMachine::no_journal_left() const {
  return std::filesystem::is_empty(root / kRuns);
}

namespace {

// Under Wine every start of a program also starts the prefix's server unless one is running;
// one server kept for the whole suite saves seconds per run.
class EmulatorServer : public ::testing::Environment {
  void SetUp() override {
    if (!emulated() || !wine_installed() || !binary_present()) return;
    // The first start may set the prefix up and talk about it.
    run_process({"sh", "-c",
                 "wineserver -p >/dev/null 2>&1; \"$TAVO_EMULATOR\" \"$TAVO_WINEPREFIX\" "
                 "\"$TAVO_BINARY\" --probe >/dev/null 2>&1"},
                {{"WINEPREFIX", env("TAVO_WINEPREFIX")}});
  }
  void TearDown() override {
    if (emulated() && wine_installed() && binary_present())
      run_process({"wineserver", "-k"}, {{"WINEPREFIX", env("TAVO_WINEPREFIX")}});
  }
};

const auto* const server = ::testing::AddGlobalTestEnvironment(new EmulatorServer);

}  // namespace
}  // namespace tavo::e2e
