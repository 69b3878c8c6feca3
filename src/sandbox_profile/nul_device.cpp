#include "sandbox_profile/nul_device.h"

#include <algorithm>

#include "acl/ace_list.h"
#include "acl/dacl.h"
#include "acl/dacl_lock.h"
#include "base/format.h"
#include "runtime/log.h"
#include "win/error.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

constexpr DWORD kOpenAccess = GENERIC_READ | GENERIC_WRITE | WRITE_DAC | READ_CONTROL;
constexpr SidEntry kGranted{ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_READ | GENERIC_WRITE};

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

// The device's entries, read through the handle.
std::expected<AceList, std::string> read_device_entries(HANDLE device) {
  unique_local<void> descriptor;
  PACL dacl = nullptr;
  const DWORD rc = GetSecurityInfo(device, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, &dacl, nullptr, descriptor.put());
  if (rc != ERROR_SUCCESS) return std::unexpected(format("GetSecurityInfo NUL failed: {}", rc));
  auto entries = AceList::read(dacl);
  if (!entries) return std::unexpected(entries.error().display());
  return std::move(*entries);
}

// The device's entries as read, edited by `edit`, and written back when the edit changed them.
// The device inherits nothing, so its draft counts as protected: every entry the edit leaves,
// anyone's, is written back as it was.
std::expected<void, std::string> edit_device_entries(HANDLE device, const AceList& read,
                                                     const DaclEdit& edit) {
  DaclDraft draft{.entries = read, .is_protected = true};
  edit(draft);
  if (draft.entries == read) return {};
  auto updated = draft.entries.to_acl();
  if (!updated) return std::unexpected(format("NUL device DACL: {}", updated.error()));
  const DWORD rc = SetSecurityInfo(device, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, updated->get(), nullptr);
  if (rc != ERROR_SUCCESS) return std::unexpected(format("SetSecurityInfo NUL failed: {}", rc));
  return {};
}

bool admits(const AceList& entries, PSID sid) {
  return std::ranges::any_of(entries.of_sid(sid), [](const SidEntry& entry) {
    return entry.type == ACCESS_ALLOWED_ACE_TYPE;
  });
}

}  // namespace

std::expected<void, std::string> grant_nul_device(PSID sid, const DaclEditLock::Held&,
                                                  PlacementNotice* notice) {
  auto device = open_device(kOpenAccess);
  if (!device) return std::unexpected(device.error());
  auto current = read_device_entries(device->get());
  if (!current) return std::unexpected(current.error());
  // An entry in place already was announced when it was placed.
  if (notice != nullptr && !admits(*current, sid)) {
    notice->before_placing(Placement{"NUL", "NUL", std::nullopt});
  }
  // The SID's allow entries give way to the one granted; its deny entries stay.
  auto set = edit_device_entries(
      device->get(), *current, [&](DaclDraft& dacl) { set_sid_allow(dacl, sid, kGranted, false); });
  if (!set) return set;
  log(Level::Info, kTargetProfile, "NUL device: granted read+write to AppContainer SID");
  return {};
}

std::expected<void, std::string> revoke_nul_device(PSID sid, const DaclEditLock::Held&) {
  auto device = open_device(kOpenAccess);
  if (!device) return std::unexpected(device.error());
  auto current = read_device_entries(device->get());
  if (!current) return std::unexpected(current.error());
  // Every allow entry of the SID goes, whatever rights it names; its deny entries stay.
  return edit_device_entries(device->get(), *current, [&](DaclDraft& dacl) {
    dacl.entries.remove_of(
        sid, [](const SidEntry& entry) { return entry.type == ACCESS_ALLOWED_ACE_TYPE; });
  });
}

std::expected<bool, std::string> nul_device_admits(PSID sid) {
  auto device = open_device(READ_CONTROL);
  if (!device) return std::unexpected(device.error());
  auto current = read_device_entries(device->get());
  if (!current) return std::unexpected(current.error());
  return admits(*current, sid);
}

}  // namespace tavo
