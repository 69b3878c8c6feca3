#include "acl/changed_object.h"

#include <optional>
#include <string_view>

#include "base/format.h"
#include "win/wide.h"

namespace tavo {
namespace {

// Where a handle on the volume a final path lies on can be had: its drive's or its share's
// root; for a path of another form, the folder that holds it.
std::optional<std::string> volume_hint_path(std::string_view final_path) {
  constexpr std::string_view kVerbatim = "\\\\?\\";
  constexpr std::string_view kShare = "\\\\?\\UNC\\";
  if (final_path.starts_with(kShare)) {
    // \\?\UNC\server\share\ : the separator after the share's name ends the root.
    std::size_t at = final_path.find('\\', kShare.size());
    if (at != std::string_view::npos) at = final_path.find('\\', at + 1);
    if (at == std::string_view::npos) return std::nullopt;
    return std::string(final_path.substr(0, at + 1));
  }
  if (final_path.starts_with(kVerbatim) && final_path.size() >= kVerbatim.size() + 3 &&
      final_path[kVerbatim.size() + 1] == ':') {
    return std::string(final_path.substr(0, kVerbatim.size() + 3));
  }
  const std::size_t last = final_path.find_last_of("\\/");
  if (last == std::string_view::npos) return std::nullopt;
  return std::string(final_path.substr(0, last + 1));
}

std::expected<DaclObject, std::string> reach_by_identity(const DaclChange& change,
                                                         const FileIdentity& identity,
                                                         GuardRule rule) {
  const std::optional<std::string> hint_path = volume_hint_path(change.object);
  if (!hint_path) return std::unexpected(format("no volume is named by {}", change.object));
  const unique_handle hint(CreateFileW(to_wide_nul(*hint_path).c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                       nullptr));
  if (!hint) {
    return std::unexpected(
        format("its volume {} cannot be opened: {}", *hint_path, HresultError::from_last_error()));
  }
  // A file ID names an object only on its own volume; another volume where that one was may hold
  // another object under the same ID.
  auto volume = identity_of(hint.get());
  if (!volume) {
    return std::unexpected(format("its volume {} cannot be told: {}", *hint_path, volume.error()));
  }
  if (volume->volume != identity.volume) {
    return std::unexpected(format("{} is no longer the volume it was on", *hint_path));
  }
  auto object = DaclObject::open_by_identity(identity, hint.get(), change.path, rule);
  if (!object) {
    if (is_refused_object(object.error())) return std::unexpected(object.error().display());
    return std::unexpected(
        format("object {} cannot be opened: {}", identity_text(identity), object.error()));
  }
  return std::move(*object);
}

// A record of an older journal, which knew only the final path: trusted only while that path is
// no link and leads to itself.
std::expected<DaclObject, std::string> reach_by_path(const DaclChange& change) {
  auto object = DaclObject::open_unfollowed(change.object, change.path);
  if (!object) return std::unexpected(object.error().display());
  auto link = object->is_reparse_point();
  if (!link) return std::unexpected(link.error().display());
  if (*link) return std::unexpected(format("{} is a link now", change.object));
  if (object->final_path() != change.object) {
    return std::unexpected(format("{} leads to {} now", change.object, object->final_path()));
  }
  return std::move(*object);
}

}  // namespace

bool same_object(const DaclChange& a, const DaclChange& b) {
  if (a.identity && b.identity) return *a.identity == *b.identity;
  return a.object == b.object;
}

std::expected<DaclObject, std::string> reach_changed_object(const DaclChange& change,
                                                            GuardRule rule) {
  if (change.identity) return reach_by_identity(change, *change.identity, rule);
  return reach_by_path(change);
}

}  // namespace tavo
