#include "cli.h"

#include <algorithm>

#include "base/format.h"
#include "cli_table.h"
#include "runtime/exit_status.h"
#include "sandbox_profile/pool_constants.h"
#include "sandbox_profile/pool_dir.h"
#include "win/env.h"

namespace tavo {
namespace {

using cli::Mode;
using cli::OptionValues;

constexpr std::uint32_t kDefaultPoolSize = 4;

// What one pass over the command line found.
struct Scan {
  OptionValues values;
  Mode mode = Mode::Run;                            // the mode flag of highest precedence given
  std::optional<std::string> rejection;             // the first word or value refused
  std::optional<std::vector<std::string>> command;  // set once "--" is reached
};

// One pass that reads each word as what it stands as: an option with the next word as its value,
// a mode flag, or the end of the options. It goes on past a refused word so that every mode flag
// is seen: the modes that answer alone must not depend on the rest.
Scan scan(const std::vector<std::string>& args) {
  Scan s;
  auto reject = [&](std::string message) {
    if (!s.rejection) s.rejection = std::move(message);
  };
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (const cli::OptionRow* option = cli::find_option(word)) {
      if (option->value.empty()) {
        static_cast<void>(option->take(s.values, word));
      } else if (i + 1 == args.size()) {
        reject(format("{} requires a value", word));
      } else if (auto refused = option->take(s.values, args[++i])) {
        reject(std::move(*refused));
      }
    } else if (const cli::ModeRow* flag = cli::find_mode_flag(word)) {
      s.mode = std::min(s.mode, flag->mode);
    } else if (word == cli::kEndOfOptions) {
      s.command.emplace(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    } else {
      reject(format("unknown argument: {}", word));
    }
  }
  return s;
}

std::string pool_dir(OptionValues& o) {
  return o.pool_dir ? std::move(*o.pool_dir) : default_pool_dir();
}

std::expected<Command, std::string> build_cleanup(OptionValues& o) {
  if (!o.profile_name) return std::unexpected(std::string("--cleanup requires --profile-name"));
  if (o.revoke_all && !o.sandbox_sid_file) {
    return std::unexpected(std::string("--revoke-all requires --sandbox-sid-file"));
  }
  return Cleanup{std::move(*o.profile_name), std::move(o.revoke), std::move(o.sandbox_sid_file),
                 o.revoke_all};
}

std::expected<Command, std::string> build_registration(OptionValues& o) {
  if (!o.profile_name) {
    return std::unexpected(std::string("--register-sandbox-profile requires --profile-name"));
  }
  if (!o.sid_out_file) {
    return std::unexpected(std::string(
        "--register-sandbox-profile requires --sid-out-file (path to write the SID's SDDL "
        "string)"));
  }
  return RegisterSandboxProfile{std::move(*o.profile_name), std::move(*o.sid_out_file)};
}

std::expected<Command, std::string> build_pool(OptionValues& o) {
  const std::uint32_t size = o.pool_size.value_or(kDefaultPoolSize);
  if (size < 1 || size > POOL_SIZE_MAX) {
    return std::unexpected(format("pool-size must be 1..={}, got {}", POOL_SIZE_MAX, size));
  }
  return RegisterPool{pool_dir(o), size};
}

std::expected<Command, std::string> build_run(Scan& s) {
  OptionValues& o = s.values;
  if (!o.profile_name) return std::unexpected(std::string("--profile-name is required"));
  if (!s.command) return std::unexpected(std::string("missing `-- <command> [args...]`"));
  if (s.command->empty()) {
    return std::unexpected(std::string("`-- <command>` requires at least the command"));
  }
  Run run;
  run.profile_name = std::move(*o.profile_name);
  run.grant_rw = std::move(o.grant_rw);
  run.grant_r = std::move(o.grant_r);
  run.deny_access = std::move(o.deny_access);
  run.keep_denies = o.keep_denies;
  run.command = std::move(s.command->front());
  run.args.assign(std::make_move_iterator(s.command->begin() + 1),
                  std::make_move_iterator(s.command->end()));
  run.cwd = std::move(o.cwd);
  run.sandbox_sid_file = std::move(o.sandbox_sid_file);
  run.network_mode = o.network_mode;
  return run;
}

}  // namespace

std::string_view display_name(NetworkMode mode) {
  switch (mode) {
    case NetworkMode::DefaultBlocked:
      return "DefaultBlocked";
    case NetworkMode::CommonDependencies:
      return "CommonDependencies";
    case NetworkMode::DefaultAllowed:
      return "DefaultAllowed";
  }
  return "?";
}

void append_text(std::string& out, NetworkMode mode) {
  out.append(display_name(mode));
}

std::expected<Command, std::string> parse_args(const std::vector<std::string>& args) {
  if (args.size() < 2) {
    return std::unexpected(std::string("missing arguments. Run with --probe to validate."));
  }
  Scan s = scan(args);
  // The probe, the usage text and the version answer whatever else stands beside them.
  if (s.rejection && s.mode > Mode::Version) return std::unexpected(std::move(*s.rejection));
  switch (s.mode) {
    case Mode::Probe:
      return Probe{};
    case Mode::Help:
      return Help{};
    case Mode::Version:
      return Version{};
    case Mode::Cleanup:
      return build_cleanup(s.values);
    case Mode::RegisterSandboxProfile:
      return build_registration(s.values);
    case Mode::RegisterPool:
      return build_pool(s.values);
    case Mode::CheckPoolVersion:
      return CheckPoolVersion{pool_dir(s.values)};
    case Mode::ListEntries:
      return ListEntries{std::move(s.values.profile_name), std::move(s.values.sandbox_sid_file)};
    case Mode::Run:
      return build_run(s);
  }
  internal_failure("a command line without a mode");
}

}  // namespace tavo
