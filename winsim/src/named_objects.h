// The namespace of named kernel objects (mutexes, events) that every process of the machine
// shares: which kind of object holds a name and what the name's DACL lets a caller open.
//
// In one process the names live in a table of this process (local_names). With WINSIM_STATE set,
// each name is also a file beside the state file, $WINSIM_STATE.name.<SHA-256 of the name>: every
// process with a handle to the object holds a shared flock on it, and the file holds the kind and
// the DACL its creator gave. A process that can lock it exclusively is alone: on the platform the
// name would be gone, so it is made anew. The kernel drops a dead process's flocks, so a name
// disappears when the last process holding it ends, however it ends.
#pragma once

#include <expected>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "internal.h"
#include "winsim/security.h"

namespace winsim::detail {

// One host descriptor, closed with its owner.
class HostDescriptor {
 public:
  explicit HostDescriptor(int fd = -1) : fd_(fd) {}
  ~HostDescriptor();
  HostDescriptor(HostDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  HostDescriptor& operator=(HostDescriptor&& other) noexcept;
  int get() const { return fd_; }

 private:
  int fd_;
};

// flock(2), tried again when a signal interrupts it.
int flock_retrying(int fd, int operation);
// The whole of a host file, read from its start whatever the descriptor's position.
std::string read_all(int fd);

enum class NamedKind { Mutex, Event };

// The object's name in the machine's namespace: `Local\NAME` is `NAME`.
std::string namespaced(std::string_view name);
// The Win32 error for a name the platform refuses, or 0.
DWORD name_error(std::u16string_view name);

// The DACL a new named object gets from its creator's attributes, in text form: the
// descriptor's DACL, "*" for a NULL DACL (no access control), or, without one, the creator's
// default: full control for SYSTEM and the creator (Administrators for an administrator).
std::string new_name_dacl(const SECURITY_ATTRIBUTES* attributes);

// Why a caller who wants an object of `wanted` kind with `access` may not open the existing
// object of `held` kind whose DACL is `dacl`: ERROR_INVALID_HANDLE for another kind,
// ERROR_ACCESS_DENIED when the DACL does not grant every right asked for; 0 when it may.
DWORD open_error(NamedKind held, std::string_view dacl, NamedKind wanted, ACCESS_MASK access);

// A name this process holds objects by: the kind, the DACL, the object while a handle keeps it.
struct LocalName {
  NamedKind kind = NamedKind::Mutex;
  std::string dacl;
  std::weak_ptr<void> object;
};
// This process's names; forgotten with the machine at reset().
std::map<std::string, LocalName>& local_names();
// The live object this process holds `name` by, checked as open_error checks it; null when this
// process holds no object by that name.
std::expected<std::shared_ptr<void>, DWORD> local_object(const std::string& name, NamedKind wanted,
                                                         ACCESS_MASK access);

// The name's file, joined by this process. `created`: no other process held the name, so this
// process made it with `kind` and `dacl` (`create` false: that fails with ERROR_FILE_NOT_FOUND).
// Otherwise the object is checked as open_error checks it, and `dacl` is the one found. To be
// called with the MachineLock held, so that two creators cannot both find a name new. Other
// failures give the host's error as a Win32 error.
struct ClaimedName {
  HostDescriptor file;
  bool created = false;
  std::string dacl;
};
std::expected<ClaimedName, DWORD> claim_name(const std::string& name, bool create, NamedKind kind,
                                             const std::string& dacl, ACCESS_MASK access);

// The host path of a file of the name's: $WINSIM_STATE.<what>.<SHA-256 of the name>.
std::string name_file_path(std::string_view what, const std::string& name);

}  // namespace winsim::detail
