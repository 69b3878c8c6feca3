#include "sandbox_profile/pool_version.h"

#include "base/text.h"
#include "runtime/log.h"
#include "sandbox_profile/admin_owned.h"
#include "win/fs.h"
#include "win/path.h"

namespace tavo {
namespace {

std::string removal_failure(const fs::RemoveError& error) {
  if (const auto* io = std::get_if<IoError>(&error)) return io->display();
  return format("{}, left alone", std::get<fs::NotARegularFile>(error).what);
}

}  // namespace

std::expected<void, HresultError> write_pool_version(std::string_view pool_dir) {
  return write_text_file(path::join(pool_dir, kPoolVersionFile),
                         format("{}", POOL_REGISTRATION_VERSION));
}

bool check_pool_version(std::string_view pool_dir) {
  auto marker = fs::read_text_file(path::join(pool_dir, kPoolVersionFile));
  if (!marker) return false;
  std::optional<std::uint32_t> version = parse_u32(trim_white_space(*marker));
  return version && *version >= POOL_REGISTRATION_VERSION;
}

void clear_pool_dats(std::string_view pool_dir) {
  auto names = fs::list_dir(pool_dir);
  if (!names) return;
  for (const std::string& name : *names) {
    const std::string file = path::join(pool_dir, name);
    if (path::extension(file) != "dat") continue;
    if (auto removed = fs::remove_regular_file(file); !removed) {
      log(Level::Warn, kTargetPoolVersion, "clear_pool_dats: failed to remove {}: {}", file,
          removal_failure(removed.error()));
    }
  }
}

}  // namespace tavo
