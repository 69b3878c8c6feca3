#include "entry.h"

#include "cleanup.h"
#include "cli.h"
#include "exit_status.h"
#include "log.h"
#include "pool_version.h"
#include "win/console.h"

namespace tavo {
namespace {

int probe() {
  if (!console::write(console::Stream::Out, "tavo-sandbox probe ok\n")) {
    internal_failure("cannot write the probe answer to standard output");
  }
  return kStatusSuccess;
}

int check_pool_version_mode(const CheckPoolVersion& command) {
  if (check_pool_version(command.pool_dir)) return kStatusSuccess;
  log(Level::Info, kTargetMain, "pool registration is stale (expected v{})",
      POOL_REGISTRATION_VERSION);
  return kStatusPoolStale;
}

// A mode whose code has not landed yet fails loudly instead of pretending to succeed.
[[noreturn]] int not_available(std::string_view mode) {
  internal_failure(format("the {} mode is not available in this build yet", mode));
}

int dispatch(const Command& command) {
  struct Visitor {
    int operator()(const Probe&) const { return probe(); }
    int operator()(const Run&) const { return not_available("run"); }
    int operator()(const Cleanup& c) const { return cleanup(c); }
    int operator()(const RegisterSandboxProfile&) const {
      return not_available("sandbox profile registration");
    }
    int operator()(const RegisterPool&) const { return not_available("pool registration"); }
    int operator()(const CheckPoolVersion& c) const { return check_pool_version_mode(c); }
  };
  return std::visit(Visitor{}, command);
}

}  // namespace

int run_program(const std::vector<std::string>& arguments) {
  auto command = parse_args(arguments);
  if (!command) {
    log(Level::Error, kTargetMain, "{}", command.error());
    return kStatusUsage;
  }
  return dispatch(*command);
}

}  // namespace tavo
