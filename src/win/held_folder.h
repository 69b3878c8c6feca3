// A folder held open while the program puts something in it, so that between the check of the
// folder and the last write into it nobody can rename it, delete it or put a link in its place.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "win/api.h"
#include "win/error.h"
#include "win/unique.h"

namespace tavo {

class HeldFolder {
 public:
  // Opens the folder `path` names without following a final link, with FILE_LIST_DIRECTORY (so
  // that its sharing mode applies), READ_CONTROL and FILE_READ_ATTRIBUTES, and without
  // FILE_SHARE_DELETE. The error is a message: the platform's, "is a link" or "is not a folder".
  static std::expected<HeldFolder, std::string> open(std::string_view path);

  HANDLE get() const { return handle_.get(); }
  // The folder's final path (\\?\C:\...), as the platform names the object held.
  const std::string& final_path() const { return final_path_; }

 private:
  HeldFolder(unique_handle handle, std::string final_path)
      : handle_(std::move(handle)), final_path_(std::move(final_path)) {}

  unique_handle handle_;
  std::string final_path_;
};

// The final path of the object a handle stands on (\\?\C:\...); nothing when it cannot be had.
std::optional<std::string> final_path_of(HANDLE object);

}  // namespace tavo
