// A folder handed to icacls, held so that icacls changes the folder that was judged.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "win/held_folder.h"

namespace tavo {

class IcaclsTarget {
 public:
  // Where `path` leads (links followed), judged by the system-path guard; then that folder and
  // each folder above it, held open without FILE_SHARE_DELETE until the target is dropped, so
  // that no component can be renamed or swapped for a link while icacls runs. Nothing when the
  // guard refuses it (warned about under `log_target`, naming `path`, as other skipped paths
  // are); the error is a message when the folder cannot be opened or held.
  static std::expected<std::optional<IcaclsTarget>, std::string> hold(std::string_view path,
                                                                      std::string_view log_target);

  // The folder's final path, as icacls takes it (C:\... for a drive path).
  const std::string& path() const { return path_; }

 private:
  IcaclsTarget(std::vector<HeldFolder> held, std::string path)
      : held_(std::move(held)), path_(std::move(path)) {}

  std::vector<HeldFolder> held_;
  std::string path_;
};

}  // namespace tavo
