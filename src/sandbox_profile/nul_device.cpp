#include "sandbox_profile/nul_device.h"

#include "acl/acl.h"
#include "acl/dacl.h"
#include "acl/dacl_lock.h"
#include "runtime/log.h"
#include "win/error.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

constexpr DWORD kOpenAccess = GENERIC_READ | GENERIC_WRITE | WRITE_DAC | READ_CONTROL;
constexpr DWORD kGrantedAccess = GENERIC_READ | GENERIC_WRITE;

std::expected<unique_handle, std::string> open_device(DWORD access) {
  unique_handle device(CreateFileW(to_wide_nul("NUL").c_str(), access,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
  if (!device) {
    const HresultError error = HresultError::from_last_error();
    return std::unexpected(format("CreateFileW NUL failed: {}", error));
  }
  return device;
}

struct DeviceDacl {
  unique_local<void> descriptor;
  PACL dacl = nullptr;
};

std::expected<DeviceDacl, std::string> read_device_dacl(HANDLE device) {
  DeviceDacl read;
  const DWORD rc = GetSecurityInfo(device, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, &read.dacl, nullptr, read.descriptor.put());
  if (rc != ERROR_SUCCESS) return std::unexpected(format("GetSecurityInfo NUL failed: {}", rc));
  return read;
}

// The device is a well-known object, so the trustee is typed as a well-known group.
std::expected<void, std::string> set_device_entry(HANDLE device, PACL dacl, PSID sid,
                                                  ACCESS_MODE mode) {
  EXPLICIT_ACCESS_W record = explicit_access(sid, mode == GRANT_ACCESS ? kGrantedAccess : 0, mode,
                                             0, TRUSTEE_IS_WELL_KNOWN_GROUP);
  unique_local<ACL> updated;
  DWORD rc = SetEntriesInAclW(1, &record, dacl, updated.put());
  if (rc != ERROR_SUCCESS) return std::unexpected(format("SetEntriesInAclW NUL failed: {}", rc));
  rc = SetSecurityInfo(device, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                       updated.get(), nullptr);
  if (rc != ERROR_SUCCESS) return std::unexpected(format("SetSecurityInfo NUL failed: {}", rc));
  return {};
}

std::expected<bool, std::string> admits(PACL dacl, PSID sid) {
  auto entries = AceList::read(dacl);
  if (!entries) return std::unexpected(entries.error().display());
  for (const SidEntry& entry : entries->of_sid(sid)) {
    if (entry.type == ACCESS_ALLOWED_ACE_TYPE) return true;
  }
  return false;
}

}  // namespace

std::expected<void, std::string> grant_nul_device(PSID sid, const DaclEditLock::Held&,
                                                  PlacementNotice* notice) {
  auto device = open_device(kOpenAccess);
  if (!device) return std::unexpected(device.error());
  auto current = read_device_dacl(device->get());
  if (!current) return std::unexpected(current.error());
  // An entry in place already was announced when it was placed.
  if (notice != nullptr && !admits(current->dacl, sid).value_or(false)) {
    notice->before_placing(Placement{"NUL", "NUL", std::nullopt});
  }
  // GRANT_ACCESS merges with an allow entry the SID may have already.
  if (auto set = set_device_entry(device->get(), current->dacl, sid, GRANT_ACCESS); !set) {
    return set;
  }
  log(Level::Info, kTargetProfile, "NUL device: granted read+write to AppContainer SID");
  return {};
}

std::expected<void, std::string> revoke_nul_device(PSID sid, const DaclEditLock::Held&) {
  auto device = open_device(kOpenAccess);
  if (!device) return std::unexpected(device.error());
  auto current = read_device_dacl(device->get());
  if (!current) return std::unexpected(current.error());
  auto held = admits(current->dacl, sid);
  if (!held) return std::unexpected(held.error());
  if (!*held) return {};
  return set_device_entry(device->get(), current->dacl, sid, REVOKE_ACCESS);
}

std::expected<bool, std::string> nul_device_admits(PSID sid) {
  auto device = open_device(READ_CONTROL);
  if (!device) return std::unexpected(device.error());
  auto current = read_device_dacl(device->get());
  if (!current) return std::unexpected(current.error());
  return admits(current->dacl, sid);
}

}  // namespace tavo
