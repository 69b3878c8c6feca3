// A scratch directory for one test, removed with everything in it at the end.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tavo::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory, as the program would be given it (UTF-8).
  const std::string& path() const { return path_; }
  // A path inside the directory.
  std::string operator/(std::string_view name) const;

  // Test set-up helpers (host calls, not the program's).
  void write(std::string_view name, std::string_view bytes) const;
  void make_dir(std::string_view name) const;
  std::string read(std::string_view name) const;
  bool exists(std::string_view name) const;

 private:
  std::filesystem::path dir_;
  std::string path_;
};

std::string utf8(const std::filesystem::path& p);

}  // namespace tavo::testing
