// Editing the DACL of one file or directory for one SID.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "win/api.h"
#include "win/error.h"
#include "win/wide.h"

namespace tavo {

enum class AccessLevel {
  Read,       // generic read and execute
  ReadWrite,  // read, write, execute and delete; no delete-child, no WRITE_DAC or WRITE_OWNER
};

inline constexpr DWORD kReadMask = 0x1200A9;
inline constexpr DWORD kReadWriteMask = 0x1301BF;
inline constexpr DWORD kDenyMask = 0x1201BF;      // read, write and execute, without DELETE
inline constexpr DWORD kTraverseMask = 0x1200A9;  // list and pass through this one object

DWORD access_mask(AccessLevel level);

// An explicit-access record naming `sid` as a trustee of type `type`.
EXPLICIT_ACCESS_W explicit_access(PSID sid, DWORD permissions, ACCESS_MODE mode, DWORD inheritance,
                                  TRUSTEE_TYPE type = TRUSTEE_IS_GROUP);

// A file's security descriptor (DACL only) as GetFileSecurityW gives it.
struct FileSecurity {
  std::vector<std::uint64_t> storage;  // pointer-aligned
  DWORD length = 0;                    // bytes of the descriptor

  PSECURITY_DESCRIPTOR descriptor() { return storage.data(); }
  std::span<const BYTE> bytes() const {
    return {reinterpret_cast<const BYTE*>(storage.data()), length};
  }
};

// Reads it with the size query first. A path whose descriptor cannot be sized (missing, no
// access) fails with code 0xFFFFFFFF and "GetFileSecurityW returned needed=0".
std::expected<FileSecurity, HresultError> read_file_security(const WideString& path);

// The path with short (8.3) components expanded when the platform can say so; otherwise the path
// as given. Never fails.
std::string to_long_path(std::string_view path);

// Sets one inheritable allow entry for the SID at `level`. Writes nothing when the DACL already
// holds exactly that, or when the SID's only explicit entry is already that allow entry (only its
// place among other SIDs' entries would change); the DACL's protection is left as it is.
std::expected<void, HresultError> grant_access(PSID sid, std::string_view path, AccessLevel level);

struct DenyApplied {
  bool was_protected;  // the object's DACL was protected before the deny
};

// Protects the DACL from inheritance, then replaces the SID's entries by one deny entry
// (inheritable on a directory). When a step after the protecting write fails on an object that
// was not protected before, the DACL first read is written back unprotected, so a failed deny
// leaves the object as it was.
std::expected<DenyApplied, HresultError> deny_access(PSID sid, std::string_view path);

enum class Protection {
  Unprotect,      // the object inherits from its parent again
  KeepProtected,  // for undoing a deny on an object that was protected before it
};

// Removes the SID's explicit entries, allow and deny alike, and writes the DACL back. The write
// always happens.
std::expected<void, HresultError> revoke_access(PSID sid, std::string_view path,
                                                Protection protection = Protection::Unprotect);

// Sets one non-inheritable read-and-execute entry on this one object, with the file-security
// calls so that nothing reaches its children. Writes nothing when the entry is there already,
// wherever it stands among other SIDs' entries.
std::expected<void, HresultError> grant_traverse(PSID sid, std::string_view path);

// Whether two ACLs hold the same entries: the same revision, entry count and entry bytes. Unused
// space after the entries does not count. Two absent ACLs are equal; absent and present are not.
bool acl_equal(const ACL* a, const ACL* b);

}  // namespace tavo
