#include "cli_table.h"

#include <algorithm>
#include <array>

#include "base/format.h"
#include "base/text.h"

namespace tavo::cli {
namespace {

using Taken = std::optional<std::string>;

template <std::optional<std::string> OptionValues::*field>
Taken keep_last(OptionValues& values, const std::string& value) {
  values.*field = value;
  return std::nullopt;
}

template <std::vector<std::string> OptionValues::*field>
Taken append(OptionValues& values, const std::string& value) {
  (values.*field).push_back(value);
  return std::nullopt;
}

Taken take_pool_size(OptionValues& values, const std::string& value) {
  // The range matters only to the pool mode; the number must parse in every mode.
  values.pool_size = parse_u32(value);
  if (!values.pool_size) return format("bad pool-size: {}", value);
  return std::nullopt;
}

Taken take_network_mode(OptionValues& values, const std::string& value) {
  if (value == "default_blocked") {
    values.network_mode = NetworkMode::DefaultBlocked;
  } else if (value == "common_dependencies") {
    values.network_mode = NetworkMode::CommonDependencies;
  } else if (value == "default_allowed") {
    values.network_mode = NetworkMode::DefaultAllowed;
  } else {
    return format("unknown network-mode: {}", value);
  }
  return std::nullopt;
}

Taken set_revoke_all(OptionValues& values, const std::string&) {
  values.revoke_all = true;
  return std::nullopt;
}

Taken set_keep_denies(OptionValues& values, const std::string&) {
  values.keep_denies = true;
  return std::nullopt;
}

Taken check_proxy_port(OptionValues&, const std::string& value) {
  auto port = parse_u32(value);
  if (!port || *port > 65535) return format("bad proxy-port: {}", value);
  return std::nullopt;
}

constexpr std::array<ModeRow, 9> kModes = {{
    {Mode::Probe, "--probe", "",
     "print \"tavo-sandbox probe ok\" and end; nothing else on the command line is looked at",
     "--probe"},
    {Mode::Help, "--help", "-h", "print this text and end", "--help"},
    {Mode::Version, "--version", "", "print the program's version and end", "--version"},
    {Mode::Cleanup, "--cleanup", "",
     "remove the SID's entries (allow and deny) on each --revoke path; unless the SID came "
     "from --sandbox-sid-file, also every entry the ledgers record for it and its loopback "
     "exemption, then delete the profile",
     "--cleanup --profile-name ci --revoke C:\\src"},
    {Mode::RegisterSandboxProfile, "--register-sandbox-profile", "",
     "prepare the profile --profile-name for unprivileged runs and write its SID to "
     "--sid-out-file (administrator)",
     "--register-sandbox-profile --profile-name ci --sid-out-file C:\\Tavo\\ci.sid"},
    {Mode::RegisterPool, "--register-pool", "",
     "prepare the profiles tavo-sandbox-pool-0 and up, one <SID>.dat file each in the pool "
     "directory (administrator)",
     "--register-pool --pool-size 4"},
    {Mode::CheckPoolVersion, "--check-pool-version", "",
     "end with 0 when the pool's registration is current, with 16 when it must be registered "
     "again",
     "--check-pool-version --pool-dir C:\\ProgramData\\Tavo\\pool"},
    {Mode::ListEntries, "--list-entries", "",
     "print each entry the program placed that the ledgers this caller can read record, one a "
     "line: SID, kind, level, path, when placed; only those of the SID of --profile-name or "
     "--sandbox-sid-file when one is given",
     "--list-entries --profile-name ci"},
    {Mode::Run, "", "",
     "run COMMAND in the sandbox: grant and deny the paths, start it in the AppContainer, wait, "
     "take the denies back and end with its status",
     "--profile-name ci --grant-rw C:\\src --cwd C:\\src -- cargo build"},
}};

// The precedence of modes is their order in Mode; the table lists them in that order.
static_assert([] {
  for (std::size_t i = 0; i < kModes.size(); ++i) {
    if (kModes[i].mode != static_cast<Mode>(i)) return false;
  }
  return true;
}());

constexpr std::array<OptionRow, 14> kOptions = {{
    {"--profile-name", "NAME", Repeat::LastWins,
     "run, cleanup, registration, list: the AppContainer profile",
     keep_last<&OptionValues::profile_name>},
    {"--sandbox-sid-file", "FILE", Repeat::LastWins,
     "run, cleanup, list: take the SID from FILE, written by a registration, instead of from "
     "the profile",
     keep_last<&OptionValues::sandbox_sid_file>},
    {"--sid-out-file", "FILE", Repeat::LastWins,
     "profile registration: where to write the profile's SID",
     keep_last<&OptionValues::sid_out_file>},
    {"--grant-rw", "PATH", Repeat::Repeatable, "run: give the command read-write access to PATH",
     append<&OptionValues::grant_rw>},
    {"--grant-r", "PATH", Repeat::Repeatable, "run: give the command read access to PATH",
     append<&OptionValues::grant_r>},
    {"--deny-access", "PATH", Repeat::Repeatable, "run: deny the command PATH while it runs",
     append<&OptionValues::deny_access>},
    {"--keep-denies", "", Repeat::LastWins,
     "run: the denies stay after the command ends, recorded in the user's ledger, so that a "
     "repeat run asking for them writes nothing; any run of the SID not asking for one takes it "
     "back",
     set_keep_denies},
    {"--revoke", "PATH", Repeat::Repeatable, "cleanup: remove the SID's entries on PATH",
     append<&OptionValues::revoke>},
    {"--revoke-all", "", Repeat::LastWins,
     "cleanup with --sandbox-sid-file (administrator): take back every entry the ledgers record "
     "for the shared SID, take it off the loopback-exempt list and retire its SID file; the "
     "profile stays",
     set_revoke_all},
    {"--network-mode", "MODE", Repeat::LastWins,
     "run: default_blocked (the default), common_dependencies or default_allowed; the last two "
     "need --sandbox-sid-file",
     take_network_mode},
    {"--cwd", "DIR", Repeat::LastWins, "run: the command's working directory",
     keep_last<&OptionValues::cwd>},
    {"--pool-size", "N", Repeat::LastWins,
     "pool registration: the number of members, 1 to 10 (default 4)", take_pool_size},
    {"--pool-dir", "DIR", Repeat::LastWins,
     "pool modes: the pool directory (default %PROGRAMDATA%\\Tavo\\pool)",
     keep_last<&OptionValues::pool_dir>},
    {"--proxy-port", "PORT", Repeat::Repeatable,
     "no mode: a number from 0 to 65535, checked and otherwise unused", check_proxy_port},
}};

}  // namespace

std::span<const ModeRow> modes() {
  return kModes;
}

std::span<const OptionRow> options() {
  return kOptions;
}

const OptionRow* find_option(std::string_view word) {
  auto it = std::find_if(kOptions.begin(), kOptions.end(),
                         [&](const OptionRow& option) { return option.name == word; });
  return it == kOptions.end() ? nullptr : &*it;
}

const ModeRow* find_mode_flag(std::string_view word) {
  if (word.empty()) return nullptr;
  auto it = std::find_if(kModes.begin(), kModes.end(), [&](const ModeRow& mode) {
    return mode.flag == word || mode.alias == word;
  });
  return it == kModes.end() ? nullptr : &*it;
}

}  // namespace tavo::cli
