#include "acl/guarded_paths.h"

#include "acl/path_blocklist.h"
#include "runtime/log.h"

namespace tavo {

bool skip_system_path(std::string_view path, std::string_view target) {
  if (!is_refused_path(path)) return false;
  warn_refused(path, target);
  return true;
}

void warn_refused(std::string_view path, std::string_view target) {
  log(Level::Warn, target, "refusing to modify ACL on system path: {}", path);
}

}  // namespace tavo
