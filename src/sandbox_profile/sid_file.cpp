#include "sandbox_profile/sid_file.h"

#include <variant>

#include "base/text.h"
#include "runtime/log.h"
#include "sandbox_profile/admin_owned.h"
#include "sid/sid_text.h"
#include "win/fs.h"
#include "win/path.h"
#include "win/path_names.h"
#include "win/small_file.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {

namespace {

// A SID string with white space around it fits many times over; a file holding more is not a
// SID file, and is refused without being read.
constexpr std::size_t kMaxSidFileBytes = 4096;
// At most this much of a file's text goes into a message: any SID string in full, but not a
// flood of whatever else a file holds.
constexpr std::size_t kShownBytes = 100;

std::string shown(std::string_view text) {
  const std::string_view prefix = utf8_prefix(text, kShownBytes);
  return prefix.size() == text.size() ? std::string(text) : std::string(prefix) + "...";
}

std::string read_failure(const fs::SmallFileError& error) {
  if (const auto* io = std::get_if<IoError>(&error)) return io->display();
  if (const auto* other = std::get_if<fs::NotARegularFile>(&error)) {
    return format("{}, not a regular file", other->what);
  }
  return format("SID file too large ({} bytes)", std::get<fs::FileTooLarge>(error).size);
}

// Why someone other than the administrators could change the file or its folder; nothing when
// no one can, and an error when that cannot be told.
std::expected<std::optional<std::string>, HresultError> sid_file_control(std::string_view path) {
  const std::optional<std::string> full = full_path_name(path);
  const std::optional<std::string> folder = full ? path::parent(*full) : std::nullopt;
  if (!full || !folder)
    return std::unexpected(HresultError::program("the path cannot be resolved"));
  for (const auto& [object, named] : {std::pair{*full, "the file"}, {*folder, "its folder"}}) {
    auto opened = open_to_judge(object);
    if (!opened) return std::unexpected(HresultError::program(opened.error().display()));
    auto control = non_admin_control(opened->get());
    if (!control) return std::unexpected(control.error());
    if (*control) return format("{} {}", named, **control);
  }
  return std::nullopt;
}

// A run takes the SID file's word for which identity its command gets: whoever can replace the
// file chooses it. The run still goes ahead, as the caller asked.
void warn_if_non_admins_can_change(std::string_view path) {
  auto control = sid_file_control(path);
  if (!control) {
    log(Level::Debug, kTargetProfile, "who may change SID file {} cannot be told: {}", path,
        control.error());
  } else if (*control) {
    log(Level::Warn, kTargetProfile, "SID file {} can be changed by non-administrators", path);
    log(Level::Debug, kTargetProfile, "SID file {}: {}", path, **control);
  }
}

}  // namespace

std::expected<SandboxSid, std::string> read_sid_file(std::string_view path) {
  auto text = fs::read_small_text_file(path, kMaxSidFileBytes);
  if (!text) {
    return std::unexpected(format("network sid file '{}': {}", path, read_failure(text.error())));
  }
  const std::string_view sddl = trim_white_space(*text);
  if (sddl.empty()) return std::unexpected(format("network sid file '{}' is empty", path));
  log(Level::Info, kTargetProfile, "read network SID from {} (sddl={})", path, shown(sddl));
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(to_wide_nul(sddl).c_str(), &sid)) {
    const HresultError error = HresultError::from_last_error();
    return std::unexpected(format("ConvertStringSidToSidW({}): {}", shown(sddl), error));
  }
  SandboxSid owned{unique_local<void>(sid)};
  // Whoever can write a SID file must not be able to make a run hand Everyone, a user or all
  // application packages read-write access to the caller's folders: the launch would refuse such
  // a SID, but only after the traversal grants.
  if (!is_package_sid(owned.get())) {
    return std::unexpected(
        format("network sid file '{}': {} is not an AppContainer SID", path, shown(sddl)));
  }
  warn_if_non_admins_can_change(path);
  return owned;
}

}  // namespace tavo
