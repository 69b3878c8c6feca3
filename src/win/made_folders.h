// Folders made one component at a time below folders held open, so that a link met on the way is
// seen before anything is made where it leads.
#pragma once

#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "win/error.h"
#include "win/security_descriptor.h"
#include "win/unique.h"

namespace tavo::fs {

// An existing folder in which the caller would not have a folder made: as the path names it, and
// its final path (\\?\C:\...), where the links on the way led.
struct RefusedFolder {
  std::string folder;
  std::string reached;
};
using MakeFoldersError = std::variant<IoError, RefusedFolder>;

// Whether a new folder may be made in the existing folder with this final path.
using MayMakeIn = std::function<bool(const std::string& final_path)>;

// The folders along a path, each held open without FILE_SHARE_DELETE, so that none of them can be
// renamed, deleted or swapped for a link while they are held.
class HeldFolders {
 public:
  // The final path of the last folder.
  const std::string& final_path() const { return final_path_; }

 private:
  friend std::expected<HeldFolders, MakeFoldersError> make_folders(std::string_view,
                                                                   const SddlDescriptor*,
                                                                   const MayMakeIn&);
  std::vector<unique_handle> held_;
  std::string final_path_;
};

// Makes the folder `path` names and every missing folder above it, those it makes with
// `security` when given; folders that exist are no failure and keep their security. From the
// root down, each existing folder is opened (links followed) and held, and a folder is made only
// by its parent's final path, after `may_make_in` has accepted that final path: a folder on the
// way that a link turns into a place the caller refuses stops the walk before anything is made
// there. An existing non-folder on the way is ERROR_ALREADY_EXISTS, as making it would be.
std::expected<HeldFolders, MakeFoldersError> make_folders(std::string_view path,
                                                          const SddlDescriptor* security,
                                                          const MayMakeIn& may_make_in);

}  // namespace tavo::fs
