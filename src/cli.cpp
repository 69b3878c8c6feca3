#include "cli.h"

#include <algorithm>
#include <array>

#include "format.h"
#include "sandbox_profile/pool_constants.h"
#include "text.h"
#include "win/env.h"

namespace tavo {
namespace {

constexpr std::uint32_t kDefaultPoolSize = 4;
constexpr std::string_view kSeparator = "--";
constexpr std::string_view kProbe = "--probe";

// The mode flags besides --probe, which is answered before anything else is looked at.
constexpr std::array<std::string_view, 4> kModeFlags = {"--cleanup", "--register-sandbox-profile",
                                                        "--register-pool", "--check-pool-version"};

constexpr std::array<std::string_view, 12> kOptions = {
    "--pool-size",    "--pool-dir",     "--sandbox-sid-file", "--sid-out-file",
    "--profile-name", "--grant-rw",     "--grant-r",          "--deny-access",
    "--revoke",       "--network-mode", "--proxy-port",       "--cwd"};

bool is_option(std::string_view word) {
  return std::find(kOptions.begin(), kOptions.end(), word) != kOptions.end();
}

bool is_mode_flag(std::string_view word) {
  return std::find(kModeFlags.begin(), kModeFlags.end(), word) != kModeFlags.end();
}

// Whether `flag` stands among the options: before the "--" that ends them, and where an option
// name may stand. An option's value is taken verbatim, so a value that reads "--cleanup" or
// "--probe" (or "--") selects no mode.
bool flag_given(const std::vector<std::string>& args, std::string_view flag) {
  std::size_t i = 1;
  while (i < args.size() && args[i] != kSeparator) {
    if (args[i] == flag) return true;
    i += is_option(args[i]) ? 2 : 1;
  }
  return false;
}

std::optional<NetworkMode> parse_network_mode(std::string_view text) {
  if (text == "default_blocked") return NetworkMode::DefaultBlocked;
  if (text == "common_dependencies") return NetworkMode::CommonDependencies;
  if (text == "default_allowed") return NetworkMode::DefaultAllowed;
  return std::nullopt;
}

// Every option value of one command line, before a mode is chosen.
struct Options {
  std::optional<std::uint32_t> pool_size;
  std::optional<std::string> pool_dir;
  std::optional<std::string> sandbox_sid_file;
  std::optional<std::string> sid_out_file;
  std::optional<std::string> profile_name;
  std::vector<std::string> grant_rw;
  std::vector<std::string> grant_r;
  std::vector<std::string> deny_access;
  std::vector<std::string> revoke;
  NetworkMode network_mode = NetworkMode::DefaultBlocked;
  std::optional<std::string> cwd;
  std::optional<std::vector<std::string>> command;  // set once "--" is reached
};

std::optional<std::string> take_value(Options& o, std::string_view option,
                                      const std::string& value) {
  if (option == "--pool-size") {
    o.pool_size = parse_u32(value);
    if (!o.pool_size) return format("bad pool-size: {}", value);
  } else if (option == "--network-mode") {
    auto mode = parse_network_mode(value);
    if (!mode) return format("unknown network-mode: {}", value);
    o.network_mode = *mode;
  } else if (option == "--proxy-port") {
    // Validated only: no mode uses the port.
    auto port = parse_u32(value);
    if (!port || *port > 65535) return format("bad proxy-port: {}", value);
  } else if (option == "--pool-dir") {
    o.pool_dir = value;
  } else if (option == "--sandbox-sid-file") {
    o.sandbox_sid_file = value;
  } else if (option == "--sid-out-file") {
    o.sid_out_file = value;
  } else if (option == "--profile-name") {
    o.profile_name = value;
  } else if (option == "--cwd") {
    o.cwd = value;
  } else if (option == "--grant-rw") {
    o.grant_rw.push_back(value);
  } else if (option == "--grant-r") {
    o.grant_r.push_back(value);
  } else if (option == "--deny-access") {
    o.deny_access.push_back(value);
  } else if (option == "--revoke") {
    o.revoke.push_back(value);
  }
  return std::nullopt;
}

std::expected<Options, std::string> walk(const std::vector<std::string>& args) {
  Options o;
  std::size_t i = 1;
  while (i < args.size()) {
    const std::string& word = args[i];
    if (is_mode_flag(word)) {
      ++i;
    } else if (is_option(word)) {
      if (i + 1 >= args.size()) return std::unexpected(format("{} requires a value", word));
      if (auto error = take_value(o, word, args[i + 1])) return std::unexpected(*error);
      i += 2;
    } else if (word == kSeparator) {
      o.command.emplace(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    } else {
      return std::unexpected(format("unknown argument: {}", word));
    }
  }
  return o;
}

std::expected<Command, std::string> build_run(Options& o) {
  if (!o.profile_name) return std::unexpected(std::string("--profile-name is required"));
  if (!o.command) return std::unexpected(std::string("missing `-- <command> [args...]`"));
  if (o.command->empty()) {
    return std::unexpected(std::string("`-- <command>` requires at least the command"));
  }
  Run run;
  run.profile_name = std::move(*o.profile_name);
  run.grant_rw = std::move(o.grant_rw);
  run.grant_r = std::move(o.grant_r);
  run.deny_access = std::move(o.deny_access);
  run.command = std::move(o.command->front());
  run.args.assign(std::make_move_iterator(o.command->begin() + 1),
                  std::make_move_iterator(o.command->end()));
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

std::string default_pool_dir() {
  return format("{}\\Tavo\\pool", env_var("PROGRAMDATA").value_or("C:\\ProgramData"));
}

std::expected<Command, std::string> parse_args(const std::vector<std::string>& args) {
  if (args.size() < 2) {
    return std::unexpected(std::string("missing arguments. Run with --probe to validate."));
  }
  auto seen = [&](std::string_view flag) { return flag_given(args, flag); };
  if (seen(kProbe)) return Probe{};

  auto options = walk(args);
  if (!options) return std::unexpected(options.error());
  Options& o = *options;

  if (seen("--cleanup")) {
    if (!o.profile_name) return std::unexpected(std::string("--cleanup requires --profile-name"));
    return Cleanup{std::move(*o.profile_name), std::move(o.revoke), std::move(o.sandbox_sid_file)};
  }
  if (seen("--register-sandbox-profile")) {
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
  if (seen("--register-pool")) {
    const std::uint32_t size = o.pool_size.value_or(kDefaultPoolSize);
    if (size < 1 || size > POOL_SIZE_MAX) {
      return std::unexpected(format("pool-size must be 1..={}, got {}", POOL_SIZE_MAX, size));
    }
    return RegisterPool{o.pool_dir ? std::move(*o.pool_dir) : default_pool_dir(), size};
  }
  if (seen("--check-pool-version")) {
    return CheckPoolVersion{o.pool_dir ? std::move(*o.pool_dir) : default_pool_dir()};
  }
  return build_run(o);
}

}  // namespace tavo
