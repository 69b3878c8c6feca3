// The process's current directory, changed for a while and put back.
#pragma once

#include <filesystem>
#include <string>

namespace tavo::testing {

class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::string& dir) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~CurrentDirectory() { std::filesystem::current_path(saved_); }
  CurrentDirectory(const CurrentDirectory&) = delete;
  CurrentDirectory& operator=(const CurrentDirectory&) = delete;

 private:
  std::filesystem::path saved_;
};

}  // namespace tavo::testing
