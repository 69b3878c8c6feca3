#include "sandbox_profile/nul_device.h"

#include "acl/acl.h"
#include "runtime/log.h"
#include "win/error.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

constexpr DWORD kOpenAccess = GENERIC_READ | GENERIC_WRITE | WRITE_DAC | READ_CONTROL;
constexpr DWORD kGrantedAccess = GENERIC_READ | GENERIC_WRITE;

}  // namespace

std::expected<void, std::string> grant_nul_device(PSID sid, const DaclEditLock::Held&) {
  unique_handle device(CreateFileW(to_wide_nul("NUL").c_str(), kOpenAccess,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
  if (!device) {
    const HresultError error = HresultError::from_last_error();
    return std::unexpected(format("CreateFileW NUL failed: {}", error));
  }

  unique_local<void> descriptor;
  PACL dacl = nullptr;
  DWORD rc = GetSecurityInfo(device.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                             nullptr, &dacl, nullptr, descriptor.put());
  if (rc != ERROR_SUCCESS) return std::unexpected(format("GetSecurityInfo NUL failed: {}", rc));

  // GRANT_ACCESS merges with an allow entry the SID may have already; the device is a well-known
  // object, so the trustee is typed as a well-known group.
  EXPLICIT_ACCESS_W record =
      explicit_access(sid, kGrantedAccess, GRANT_ACCESS, 0, TRUSTEE_IS_WELL_KNOWN_GROUP);
  unique_local<ACL> updated;
  rc = SetEntriesInAclW(1, &record, dacl, updated.put());
  if (rc != ERROR_SUCCESS) return std::unexpected(format("SetEntriesInAclW NUL failed: {}", rc));

  rc = SetSecurityInfo(device.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                       updated.get(), nullptr);
  device.reset();
  updated.reset();
  descriptor.reset();
  if (rc != ERROR_SUCCESS) return std::unexpected(format("SetSecurityInfo NUL failed: {}", rc));
  log(Level::Info, kTargetProfile, "NUL device: granted read+write to AppContainer SID");
  return {};
}

}  // namespace tavo
