#include "path_grant/icacls_target.h"

#include "acl/guarded_paths.h"
#include "acl/path_blocklist.h"
#include "base/format.h"
#include "win/path.h"
#include "win/path_names.h"

namespace tavo {
namespace {

// \\?\C:\... without its prefix, the form icacls is documented to take; any other final path as
// it is.
std::string drive_form(const std::string& final_path) {
  constexpr std::string_view kPrefix = "\\\\?\\";
  const std::string_view rest =
      std::string_view(final_path).substr(final_path.starts_with(kPrefix) ? kPrefix.size() : 0);
  if (rest.size() >= 3 && rest[1] == ':' && rest[2] == '\\') return std::string(rest);
  return final_path;
}

}  // namespace

std::expected<std::optional<IcaclsTarget>, std::string> IcaclsTarget::hold(
    std::string_view path, std::string_view log_target) {
  const std::optional<std::string> final_path = final_path_name(path);
  if (!final_path) return std::unexpected(format("{} cannot be opened", path));
  if (is_refused_final_path(*final_path)) {
    warn_refused(path, log_target);
    return std::nullopt;
  }
  std::vector<std::string> chain;
  for (std::optional<std::string> dir = *final_path; dir && !dir->empty(); dir = path::parent(*dir))
    chain.push_back(*dir);
  std::vector<HeldFolder> held;
  held.reserve(chain.size());
  // Top down: each folder is held before the one below it is opened through it, and none may be
  // a link, so the chain held is the path judged.
  for (auto folder = chain.rbegin(); folder != chain.rend(); ++folder) {
    auto opened = HeldFolder::open(*folder);
    if (!opened) return std::unexpected(format("folder {} {}", *folder, opened.error()));
    held.push_back(std::move(*opened));
  }
  return IcaclsTarget(std::move(held), drive_form(*final_path));
}

}  // namespace tavo
