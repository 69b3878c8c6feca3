#include "sandbox_profile/admin_owned.h"

#include "acl/dacl.h"
#include "base/format.h"
#include "sid/sid_text.h"
#include "win/fs.h"
#include "win/path.h"

namespace tavo {
namespace {

constexpr std::string_view kSystem = "S-1-5-18";
constexpr std::string_view kAdministrators = "S-1-5-32-544";

bool is_admin_principal(std::string_view sid) {
  return sid == kSystem || sid == kAdministrators;
}

// Generic rights stand for the file rights they map to.
ACCESS_MASK file_rights(ACCESS_MASK mask) {
  if (mask & GENERIC_ALL) mask |= FILE_ALL_ACCESS;
  if (mask & GENERIC_WRITE) mask |= FILE_GENERIC_WRITE;
  return mask;
}

std::expected<std::optional<std::string>, HresultError> dacl_control(PACL dacl) {
  if (dacl == nullptr) return "has no DACL, so anyone may change it";
  auto entries = entries_of(dacl);
  if (!entries) return std::unexpected(entries.error());
  for (const AceAt& at : *entries) {
    const ACE_HEADER& header = at.entry->Header;
    if (header.AceFlags & INHERIT_ONLY_ACE) continue;  // for what is created below, not this
    if (header.AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
      return format("holds an entry of type {} that cannot be judged", header.AceType);
    }
    const ACCESS_MASK rights = file_rights(at.entry->Mask) & kChangeRights;
    if (rights == 0) continue;
    auto who = sid_to_sddl(const_cast<DWORD*>(&at.entry->SidStart));
    if (!who) return std::unexpected(who.error());
    if (is_admin_principal(*who)) continue;
    return format("lets {} change it or its entries (rights 0x{:x})", *who, rights);
  }
  return std::nullopt;
}

}  // namespace

std::expected<unique_handle, IoError> open_to_judge(std::string_view path) {
  return fs::open_unfollowed(path, READ_CONTROL | FILE_READ_ATTRIBUTES);
}

std::expected<std::optional<std::string>, HresultError> non_admin_control(HANDLE object) {
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
  if (owner == nullptr) return "has no owner";
  auto owner_text = sid_to_sddl(owner);
  if (!owner_text) return std::unexpected(owner_text.error());
  if (!is_admin_principal(*owner_text)) {
    return format("is not owned by Administrators (owner {})", *owner_text);
  }
  return dacl_control(dacl);
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
