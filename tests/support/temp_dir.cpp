#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>

namespace tavo::testing {

std::string utf8(const std::filesystem::path& p) {
  auto text = p.u8string();
  return std::string(text.begin(), text.end());
}

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  dir_ = std::filesystem::temp_directory_path() /
         ("tavo-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(dir_);
  path_ = utf8(dir_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string TempDir::operator/(std::string_view name) const {
  return utf8(dir_ / std::filesystem::path(std::u8string(name.begin(), name.end())));
}

void TempDir::write(std::string_view name, std::string_view bytes) const {
  std::filesystem::path file =
      dir_ / std::filesystem::path(std::u8string(name.begin(), name.end()));
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << utf8(file);
}

void TempDir::make_dir(std::string_view name) const {
  std::filesystem::create_directories(
      dir_ / std::filesystem::path(std::u8string(name.begin(), name.end())));
}

std::string TempDir::read(std::string_view name) const {
  std::ifstream in(dir_ / std::filesystem::path(std::u8string(name.begin(), name.end())),
                   std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool TempDir::exists(std::string_view name) const {
  return std::filesystem::exists(dir_ /
                                 std::filesystem::path(std::u8string(name.begin(), name.end())));
}

}  // namespace tavo::testing
