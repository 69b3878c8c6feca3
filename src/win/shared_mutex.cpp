#include "win/shared_mutex.h"

#include "base/format.h"
#include "win/security_descriptor.h"
#include "win/wide.h"

namespace tavo {

std::string shared_mutex_sddl(DWORD users_access) {
  return format("D:(A;;0x{:x};;;SY)(A;;0x{:x};;;BA)(A;;0x{:x};;;AU)",
                static_cast<unsigned>(MUTEX_ALL_ACCESS), static_cast<unsigned>(MUTEX_ALL_ACCESS),
                static_cast<unsigned>(users_access));
}

std::expected<unique_handle, HresultError> create_shared_mutex(std::string_view name,
                                                               DWORD users_access) {
  auto descriptor = SddlDescriptor::parse(shared_mutex_sddl(users_access));
  if (!descriptor) {
    return std::unexpected(HresultError::from_win32(descriptor.error().os_error().value_or(
        static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER))));
  }
  SECURITY_ATTRIBUTES attributes = descriptor->attributes();
  unique_handle mutex(CreateMutexExW(&attributes, to_wide_nul(name).c_str(), 0, users_access));
  if (!mutex) return std::unexpected(HresultError::from_last_error());
  return mutex;
}

}  // namespace tavo
