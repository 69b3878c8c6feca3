#include "sandbox_profile/admin_owned.h"

#include "base/format.h"
#include "win/fs.h"
#include "win/path.h"

namespace tavo {

std::expected<std::optional<std::string>, HresultError> non_admin_control(HANDLE object) {
  static constexpr std::string_view kAdmins[] = {kSystemSid, kAdministratorsSid};
  return outside_control(object, kAdmins, "Administrators");
}

std::expected<void, HresultError> write_text_file(std::string_view path, std::string_view content) {
  if (std::optional<std::string> parent = path::parent(path); parent && !parent->empty()) {
    auto folders = SddlDescriptor::parse(kAdminDirectorySddl);
    if (!folders) {
      return std::unexpected(
          HresultError::program(format("create_dir_all({}): {}", *parent, folders.error())));
    }
    if (auto made = fs::create_dir_all(*parent, &*folders); !made) {
      return std::unexpected(
          HresultError::program(format("create_dir_all({}): {}", *parent, made.error())));
    }
  }
  auto security = SddlDescriptor::parse(kAdminFileSddl);
  if (!security) {
    return std::unexpected(HresultError::program(format("create({}): {}", path, security.error())));
  }
  auto file = fs::create_file(path, &*security);
  if (!file)
    return std::unexpected(HresultError::program(format("create({}): {}", path, file.error())));
  std::string line(content);
  line.push_back('\n');
  if (auto written = fs::write_all(file->get(), line); !written) {
    // A SID file cut short must not be taken for one that a registration completed.
    file->reset();
    fs::discard_partial_file(path);
    return std::unexpected(HresultError::program(format("write({}): {}", path, written.error())));
  }
  return {};
}

}  // namespace tavo
