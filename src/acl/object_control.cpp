#include "acl/object_control.h"

#include <algorithm>

#include "acl/dacl.h"
#include "base/format.h"
#include "sid/sid_text.h"
#include "win/fs.h"

namespace tavo {
namespace {

// Generic rights stand for the file rights they map to.
ACCESS_MASK file_rights(ACCESS_MASK mask) {
  if (mask & GENERIC_ALL) mask |= FILE_ALL_ACCESS;
  if (mask & GENERIC_WRITE) mask |= FILE_GENERIC_WRITE;
  return mask;
}

bool is_trusted(std::span<const std::string_view> trusted, std::string_view sid) {
  return std::ranges::find(trusted, sid) != trusted.end();
}

std::expected<std::optional<std::string>, HresultError> dacl_control(
    PACL dacl, std::span<const std::string_view> trusted) {
  if (dacl == nullptr) return "has no DACL, so anyone may change it";
  auto entries = AceList::read(dacl);
  if (!entries) return std::unexpected(entries.error());
  for (const Ace& entry : entries->entries()) {
    if (entry.flags() & INHERIT_ONLY_ACE) continue;  // for what is created below, not this
    if (entry.type() == ACCESS_DENIED_ACE_TYPE) continue;
    if (entry.type() != ACCESS_ALLOWED_ACE_TYPE) {
      return format("holds an entry of type {} that cannot be judged", entry.type());
    }
    const ACCESS_MASK rights = file_rights(entry.parts().mask) & kChangeRights;
    if (rights == 0) continue;
    auto who = sid_to_sddl(entry.sid());
    if (!who) return std::unexpected(who.error());
    if (is_trusted(trusted, *who)) continue;
    return format("lets {} change it or its entries (rights 0x{:x})", *who, rights);
  }
  return std::nullopt;
}

}  // namespace

std::expected<unique_handle, IoError> open_to_judge(std::string_view path, DWORD more) {
  return fs::open_unfollowed(path, READ_CONTROL | FILE_READ_ATTRIBUTES | more);
}

std::expected<std::optional<std::string>, HresultError> outside_control(
    HANDLE object, std::span<const std::string_view> trusted, std::string_view owners,
    bool* is_protected) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(object, &info)) {
    return std::unexpected(HresultError::from_last_error());
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return "is a link";
  PSID owner = nullptr;
  PACL dacl = nullptr;
  unique_local<void> descriptor;
  const DWORD rc = GetSecurityInfo(object, SE_FILE_OBJECT,
                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                   nullptr, &dacl, nullptr, descriptor.put());
  if (rc != ERROR_SUCCESS) return std::unexpected(HresultError::from_win32(rc));
  if (is_protected != nullptr) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(descriptor.get(), &control, &revision))
      return std::unexpected(HresultError::from_last_error());
    *is_protected = (control & SE_DACL_PROTECTED) != 0;
  }
  if (owner == nullptr) return "has no owner";
  auto owner_text = sid_to_sddl(owner);
  if (!owner_text) return std::unexpected(owner_text.error());
  if (!is_trusted(trusted, *owner_text)) {
    return format("is not owned by {} (owner {})", owners, *owner_text);
  }
  return dacl_control(dacl, trusted);
}

}  // namespace tavo
