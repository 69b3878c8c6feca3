#include "acl/dacl_object.h"

#include "acl/path_blocklist.h"
#include "base/format.h"
#include "base/text.h"
#include "win/sized_text.h"
#include "win/wide.h"

namespace tavo {
namespace {

// A code no platform call returns (the customer bit is set), so a refusal is never mistaken for
// a platform failure.
constexpr std::uint32_t kRefusedObjectCode = 0xA0000001;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// READ_CONTROL reads the DACL, FILE_READ_ATTRIBUTES tells a directory from a file.
constexpr DWORD kReadAccess = READ_CONTROL | FILE_READ_ATTRIBUTES;

unique_handle open_handle(std::string_view path, DWORD access, DWORD flags) {
  // Backup semantics open directories; links are followed, so the handle is on the target,
  // unless `flags` say otherwise.
  return unique_handle(CreateFileW(to_wide_nul(path).c_str(), access, kShareAll, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
}

bool is_drive_root(std::string_view path) {
  if (path.starts_with("\\\\?\\")) path.remove_prefix(4);
  return path.size() == 3 && is_ascii_letter(path[0]) && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

}  // namespace

HresultError refused_object(std::string_view path) {
  return HresultError(kRefusedObjectCode,
                      format("refusing to modify ACL on system path: {}", path));
}

bool is_refused_object(const HresultError& error) {
  return error.code() == kRefusedObjectCode;
}

template <class Open>
std::expected<DaclObject, HresultError> DaclObject::opened(Open open, std::string_view typed,
                                                           GuardRule rule) {
  bool may_write = true;
  unique_handle handle = open(kReadAccess | WRITE_DAC);
  if (!handle && GetLastError() == ERROR_ACCESS_DENIED) {
    // Not the caller's to change: a grant already in place still needs no write.
    may_write = false;
    handle = open(kReadAccess);
  }
  if (!handle) return std::unexpected(HresultError::from_last_error());
  DaclObject object(std::move(handle), may_write);
  std::optional<std::string> final_path = read_sized_text([&](WCHAR* buffer, DWORD size) {
    return GetFinalPathNameByHandleW(object.handle_.get(), buffer, size,
                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  });
  if (!final_path)
    return std::unexpected(HresultError::from_win32(last_error_or(ERROR_INVALID_NAME)));
  const bool passes = rule == GuardRule::DriveRootsPass && is_drive_root(*final_path);
  if (!passes && is_refused_final_path(*final_path)) return std::unexpected(refused_object(typed));
  object.final_path_ = std::move(*final_path);
  return object;
}

std::expected<DaclObject, HresultError> DaclObject::open(std::string_view path,
                                                         std::string_view typed, GuardRule rule) {
  return opened([&](DWORD access) { return open_handle(path, access, 0); }, typed, rule);
}

std::expected<DaclObject, HresultError> DaclObject::open_by_identity(const FileIdentity& identity,
                                                                     HANDLE hint,
                                                                     std::string_view typed,
                                                                     GuardRule rule) {
  return opened([&](DWORD access) { return tavo::open_by_identity(hint, identity, access); }, typed,
                rule);
}

std::expected<DaclObject, HresultError> DaclObject::open_unfollowed(std::string_view path,
                                                                    std::string_view typed) {
  return opened(
      [&](DWORD access) { return open_handle(path, access, FILE_FLAG_OPEN_REPARSE_POINT); }, typed,
      GuardRule::SystemPathsRefused);
}

std::expected<DaclObject, HresultError> DaclObject::open_to_read(std::string_view path) {
  unique_handle handle = open_handle(path, READ_CONTROL, 0);
  if (!handle) return std::unexpected(HresultError::from_last_error());
  return DaclObject(std::move(handle), false);
}

std::expected<DWORD, HresultError> DaclObject::attributes() const {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(handle_.get(), &information)) {
    return std::unexpected(HresultError::from_last_error());
  }
  return information.dwFileAttributes;
}

std::expected<bool, HresultError> DaclObject::is_directory() const {
  auto found = attributes();
  if (!found) return std::unexpected(found.error());
  return (*found & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::expected<bool, HresultError> DaclObject::is_reparse_point() const {
  auto found = attributes();
  if (!found) return std::unexpected(found.error());
  return (*found & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::expected<FileIdentity, HresultError> DaclObject::identity() const {
  return identity_of(handle_.get());
}

std::expected<ObjectDacl, HresultError> DaclObject::read_dacl() const {
  ObjectDacl out;
  const DWORD rc = GetSecurityInfo(handle_.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, &out.dacl, nullptr, out.descriptor.put());
  if (rc != ERROR_SUCCESS) return std::unexpected(HresultError::from_win32(rc));
  return out;
}

std::expected<void, HresultError> DaclObject::write_dacl(SECURITY_INFORMATION info,
                                                         PACL dacl) const {
  if (!may_write_) return std::unexpected(HresultError::from_win32(ERROR_ACCESS_DENIED));
  const DWORD rc =
      SetSecurityInfo(handle_.get(), SE_FILE_OBJECT, info, nullptr, nullptr, dacl, nullptr);
  if (rc != ERROR_SUCCESS) return std::unexpected(HresultError::from_win32(rc));
  return {};
}

std::expected<FileSecurity, HresultError> DaclObject::read_security() const {
  DWORD needed = 0;
  // The size query; its own result is of no interest, only the length it reports.
  GetKernelObjectSecurity(handle_.get(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  if (needed == 0) {
    return std::unexpected(HresultError(0xFFFFFFFF, "GetFileSecurityW returned needed=0"));
  }
  FileSecurity security;
  security.length = needed;
  security.storage.assign((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
  if (!GetKernelObjectSecurity(handle_.get(), DACL_SECURITY_INFORMATION, security.descriptor(),
                               needed, &needed)) {
    return std::unexpected(HresultError::from_last_error());
  }
  return security;
}

std::expected<void, HresultError> DaclObject::write_security(
    PSECURITY_DESCRIPTOR descriptor) const {
  if (!may_write_) return std::unexpected(HresultError::from_win32(ERROR_ACCESS_DENIED));
  if (!SetKernelObjectSecurity(handle_.get(), DACL_SECURITY_INFORMATION, descriptor)) {
    return std::unexpected(HresultError::from_last_error());
  }
  return {};
}

}  // namespace tavo
