// One file or directory held open for a DACL edit, so that the object the guard approves is the
// object whose DACL is read and the object written, whatever happens to its path meanwhile.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "win/api.h"
#include "win/error.h"
#include "win/file_identity.h"
#include "win/unique.h"

namespace tavo {

// A DACL read through a handle: the descriptor owns the memory the DACL lives in.
struct ObjectDacl {
  unique_local<void> descriptor;
  PACL dacl = nullptr;
};

// A security descriptor (DACL only) read into the program's own buffer.
struct FileSecurity {
  std::vector<std::uint64_t> storage;  // pointer-aligned
  DWORD length = 0;                    // bytes of the descriptor

  PSECURITY_DESCRIPTOR descriptor() { return storage.data(); }
  std::span<const BYTE> bytes() const {
    return {reinterpret_cast<const BYTE*>(storage.data()), length};
  }
};

// Which objects the guard lets an edit reach.
enum class GuardRule {
  SystemPathsRefused,
  // Traversal exists for the drive root: one entry that lets the SID pass, on that object only.
  DriveRootsPass,
};

// The error of an edit whose object the system-path guard refuses; its text is the run's
// refusal, with the path as the caller gave it.
HresultError refused_object(std::string_view path);
bool is_refused_object(const HresultError& error);

class DaclObject {
 public:
  // Opens `path` for reading and changing its DACL, or for reading it alone where the caller
  // may not change it (then only a write fails, with access denied), and judges the object's
  // final path with the guard. `typed` is the path as the caller gave it, for the refusal. A
  // missing object fails as the platform reports it (0x80070002, 0x80070003).
  static std::expected<DaclObject, HresultError> open(std::string_view path, std::string_view typed,
                                                      GuardRule rule);
  // As open, but the object with `identity` on the volume `hint` (a handle to anything on it)
  // lies on, whatever its names are now.
  static std::expected<DaclObject, HresultError> open_by_identity(
      const FileIdentity& identity, HANDLE hint, std::string_view typed,
      GuardRule rule = GuardRule::SystemPathsRefused);
  // As open, but a link (a reparse point) in the last component of `path` is opened itself, not
  // followed: is_reparse_point tells.
  static std::expected<DaclObject, HresultError> open_unfollowed(std::string_view path,
                                                                 std::string_view typed);
  // Opens `path` to read its security only; nothing is written, so nothing is judged.
  static std::expected<DaclObject, HresultError> open_to_read(std::string_view path);

  // The object's final path (\\?\C:\...), links followed: the object itself, however it was named.
  const std::string& final_path() const { return final_path_; }

  std::expected<bool, HresultError> is_directory() const;
  std::expected<bool, HresultError> is_reparse_point() const;
  std::expected<FileIdentity, HresultError> identity() const;

  // The DACL with the calls that push inheritable entries down to existing children.
  std::expected<ObjectDacl, HresultError> read_dacl() const;
  std::expected<void, HresultError> write_dacl(SECURITY_INFORMATION info, PACL dacl) const;

  // The descriptor with the calls that change this one object and nothing below it. A descriptor
  // that cannot be sized fails with code 0xFFFFFFFF and "GetFileSecurityW returned needed=0".
  std::expected<FileSecurity, HresultError> read_security() const;
  std::expected<void, HresultError> write_security(PSECURITY_DESCRIPTOR descriptor) const;

 private:
  DaclObject(unique_handle handle, bool may_write)
      : handle_(std::move(handle)), may_write_(may_write) {}
  // Takes the handle `open(access)` gives, with WRITE_DAC where the caller may change the DACL,
  // and judges the object's final path.
  template <class Open>
  static std::expected<DaclObject, HresultError> opened(Open open, std::string_view typed,
                                                        GuardRule rule);
  std::expected<DWORD, HresultError> attributes() const;

  unique_handle handle_;
  bool may_write_;
  std::string final_path_;
};

}  // namespace tavo
