// The command line: one Command per invocation.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tavo {

enum class NetworkMode { DefaultBlocked, CommonDependencies, DefaultAllowed };

// "DefaultBlocked", "CommonDependencies", "DefaultAllowed": the form messages show.
std::string_view display_name(NetworkMode mode);
void append_text(std::string& out, NetworkMode mode);

struct Probe {};
struct Help {};
struct Version {};

struct Run {
  std::string profile_name;
  std::vector<std::string> grant_rw;
  std::vector<std::string> grant_r;
  std::vector<std::string> deny_access;
  bool keep_denies = false;  // the denies stay, standing, after the command ends
  std::string command;
  std::vector<std::string> args;
  std::optional<std::string> cwd;
  std::optional<std::string> sandbox_sid_file;
  NetworkMode network_mode = NetworkMode::DefaultBlocked;
};

struct Cleanup {
  std::string profile_name;
  std::vector<std::string> revoke;
  std::optional<std::string> sandbox_sid_file;
  bool revoke_all = false;  // retire the SID file's shared SID: every recorded entry goes
};

struct ListEntries {
  std::optional<std::string> profile_name;
  std::optional<std::string> sandbox_sid_file;
};

struct RegisterSandboxProfile {
  std::string profile_name;
  std::string sid_out_file;
};

struct RegisterPool {
  std::string pool_dir;
  std::uint32_t pool_size;
};

struct CheckPoolVersion {
  std::string pool_dir;
};

using Command = std::variant<Probe, Run, Cleanup, RegisterSandboxProfile, RegisterPool,
                             CheckPoolVersion, ListEntries, Help, Version>;

// Parses the whole argument list, the program's own name first. The error is the message that
// the entry point logs before it ends with status 10.
//
// A mode flag counts only where it stands as an option: never as an option's value (the next
// word, whatever it looks like) and never after the "--" that ends the options, so neither a
// path a caller passes on nor the sandboxed command's own words can select a mode.
std::expected<Command, std::string> parse_args(const std::vector<std::string>& arguments);

}  // namespace tavo
