#include "entry.h"

#include "cleanup.h"
#include "cli.h"
#include "list_entries.h"
#include "run_mode.h"
#include "runtime/exit_status.h"
#include "runtime/log.h"
#include "sandbox_profile/pool.h"
#include "sandbox_profile/pool_version.h"
#include "sandbox_profile/registration.h"
#include "usage.h"
#include "win/console.h"

namespace tavo {
namespace {

void print_line(const std::string& line) {
  if (!console::write(console::Stream::Out, line)) {
    internal_failure("cannot write to standard output");
  }
}

int probe() {
  print_line("tavo-sandbox probe ok\n");
  return kStatusSuccess;
}

int register_profile_mode(const RegisterSandboxProfile& command) {
  if (auto registered = register_sandbox_profile(command.profile_name, command.sid_out_file);
      !registered) {
    log(Level::Error, kTargetMain, "register sandbox profile failed: {}", registered.error());
    return kStatusSetup;
  }
  print_line(format("tavo-sandbox: registered sandbox profile '{}' (SID written to '{}')\n",
                    command.profile_name, command.sid_out_file));
  return kStatusSuccess;
}

int register_pool_mode(const RegisterPool& command) {
  auto registered = register_pool(command.pool_size, command.pool_dir);
  if (!registered) {
    log(Level::Error, kTargetMain, "register pool failed: {}", registered.error());
    return kStatusSetup;
  }
  log(Level::Info, kTargetMain, "registered {} pool SIDs in '{}'", *registered, command.pool_dir);
  return kStatusSuccess;
}

int check_pool_version_mode(const CheckPoolVersion& command) {
  if (check_pool_version(command.pool_dir)) return kStatusSuccess;
  log(Level::Info, kTargetMain, "pool registration is stale (expected v{})",
      POOL_REGISTRATION_VERSION);
  return kStatusPoolStale;
}

int dispatch(const Command& command) {
  struct Visitor {
    int operator()(const Probe&) const { return probe(); }
    int operator()(const Help&) const {
      print_line(usage_text());
      return kStatusSuccess;
    }
    int operator()(const Version&) const {
      print_line(version_text());
      return kStatusSuccess;
    }
    int operator()(const Run& c) const { return run_sandboxed(c); }
    int operator()(const Cleanup& c) const { return cleanup(c); }
    int operator()(const RegisterSandboxProfile& c) const { return register_profile_mode(c); }
    int operator()(const RegisterPool& c) const { return register_pool_mode(c); }
    int operator()(const CheckPoolVersion& c) const { return check_pool_version_mode(c); }
    int operator()(const ListEntries& c) const { return list_entries(c); }
  };
  return std::visit(Visitor{}, command);
}

}  // namespace

int run_program(const std::vector<std::string>& arguments) {
  auto command = parse_args(arguments);
  if (!command) {
    log(Level::Error, kTargetMain, "{}", command.error());
    log(Level::Error, kTargetMain, "Run with --help for usage.");
    return kStatusUsage;
  }
  return dispatch(*command);
}

}  // namespace tavo
