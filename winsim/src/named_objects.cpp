#include "named_objects.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "access.h"
#include "acl_entries.h"
#include "descriptors.h"
#include "sha256.h"
#include "winsim/kernel.h"
#include "winsim/testing.h"

namespace winsim::detail {
namespace {

constexpr std::string_view kNullDacl = "*";
constexpr ACCESS_MASK kMutexQueryState = 0x0001;
constexpr ACCESS_MASK kEventQueryState = 0x0001;
constexpr ACCESS_MASK kEventModifyState = 0x0002;

// The generic rights of mutexes and events (D: "Synchronization Object Security and Access
// Rights"): read is READ_CONTROL with the query right, write READ_CONTROL (with the modify right
// for an event), execute READ_CONTROL and SYNCHRONIZE, all the kind's full access.
ACCESS_MASK map_generic(NamedKind kind, ACCESS_MASK mask) {
  const ACCESS_MASK all = kind == NamedKind::Mutex ? MUTEX_ALL_ACCESS : 0x1F0003;
  const ACCESS_MASK read =
      READ_CONTROL | (kind == NamedKind::Mutex ? kMutexQueryState : kEventQueryState);
  const ACCESS_MASK write = READ_CONTROL | (kind == NamedKind::Mutex ? 0 : kEventModifyState);
  ACCESS_MASK mapped = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (mask & GENERIC_READ) mapped |= read;
  if (mask & GENERIC_WRITE) mapped |= write;
  if (mask & GENERIC_EXECUTE) mapped |= READ_CONTROL | SYNCHRONIZE;
  if (mask & GENERIC_ALL) mapped |= all;
  return mapped;
}

// The platform's evaluation of the entries in order: a deny entry of the caller's refuses a
// right still wanted, an allow entry grants what it names, and what none granted is refused.
bool grants(NamedKind kind, std::string_view dacl_text, ACCESS_MASK access) {
  if (dacl_text == kNullDacl) return true;
  auto dacl = from_sddl(dacl_text);
  if (!dacl) return false;
  ACCESS_MASK remaining = map_generic(kind, access);
  for (const Ace& ace : dacl->entries) {
    if (remaining == 0) break;
    if ((ace.flags & INHERIT_ONLY_ACE) || !caller_token_holds(ace.sid)) continue;
    const ACCESS_MASK mask = map_generic(kind, ace.mask);
    if (ace.type == ACCESS_DENIED_ACE_TYPE) {
      if (mask & remaining) return false;
    } else {
      remaining &= ~mask;
    }
  }
  return remaining == 0;
}

std::string_view kind_text(NamedKind kind) {
  return kind == NamedKind::Mutex ? "mutex" : "event";
}

}  // namespace

int flock_retrying(int fd, int operation) {
  int result;
  do {
    result = ::flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

std::string read_all(int fd) {
  std::string text;
  char buffer[256];
  off_t at = 0;
  ssize_t n;
  while ((n = ::pread(fd, buffer, sizeof buffer, at)) > 0) {
    text.append(buffer, static_cast<std::size_t>(n));
    at += n;
  }
  return text;
}

HostDescriptor::~HostDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

HostDescriptor& HostDescriptor::operator=(HostDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

std::string new_name_dacl(const SECURITY_ATTRIBUTES* attributes) {
  if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr) {
    // The caller checked the descriptor (attributes_error) before.
    auto parts = descriptor_parts(attributes->lpSecurityDescriptor);
    if (parts && (parts->control & SE_DACL_PRESENT) != 0) {
      if (parts->dacl == nullptr) return std::string(kNullDacl);
      if (auto entries = read_acl(parts->dacl)) return to_sddl(Dacl{*entries, false});
    }
  }
  // The token's default DACL *(A: what a token of each kind commonly carries)*.
  return caller_is_admin() ? "D:(A;;GA;;;BA)(A;;GA;;;SY)"
                           : "D:(A;;GA;;;" + std::string(winsim::kUserSid) + ")(A;;GA;;;SY)";
}

DWORD open_error(NamedKind held, std::string_view dacl, NamedKind wanted, ACCESS_MASK access) {
  if (held != wanted) return ERROR_INVALID_HANDLE;
  return grants(held, dacl, access) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// The object's name in the machine's namespace. The session namespace (`Local\` and no prefix)
// and the global one (`Global\`) are kept apart, as they are for a program in a user's session.
std::string namespaced(std::string_view name) {
  constexpr std::string_view kLocal = "Local\\";
  if (name.starts_with(kLocal)) name.remove_prefix(kLocal.size());
  return std::string(name);
}

// The Win32 error for a name Windows refuses: a backslash after the prefix names a directory
// that does not exist; more than MAX_PATH characters is too long.
DWORD name_error(std::u16string_view name) {
  if (name.size() > MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  std::u16string_view rest = name;
  for (std::u16string_view prefix : {u"Global\\", u"Local\\"}) {
    if (rest.starts_with(prefix)) rest.remove_prefix(prefix.size());
  }
  return rest.find(u'\\') == std::u16string_view::npos ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
}

std::map<std::string, LocalName>& local_names() {
  static std::map<std::string, LocalName> names;
  static const bool registered = [] {
    // Not persisted: the names go with the handles when the machine is reset.
    register_section(StateSection{"", {}, {}, [] { names.clear(); }});
    return true;
  }();
  (void)registered;
  return names;
}

std::expected<std::shared_ptr<void>, DWORD> local_object(const std::string& name, NamedKind wanted,
                                                         ACCESS_MASK access) {
  auto& names = local_names();
  auto known = names.find(name);
  if (known == names.end()) return nullptr;
  std::shared_ptr<void> object = known->second.object.lock();
  if (!object) {
    names.erase(known);
    return nullptr;
  }
  if (DWORD error = open_error(known->second.kind, known->second.dacl, wanted, access))
    return std::unexpected(error);
  return object;
}

std::string name_file_path(std::string_view what, const std::string& name) {
  const auto digest = sha256(name.data(), name.size());
  std::string path = state_path() + "." + std::string(what) + ".";
  for (std::uint8_t byte : digest) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", byte);
    path += hex;
  }
  return path;
}

std::expected<ClaimedName, DWORD> claim_name(const std::string& name, bool create, NamedKind kind,
                                             const std::string& dacl, ACCESS_MASK access) {
  const std::string path = name_file_path("name", name);
  HostDescriptor file(::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644));
  if (file.get() < 0) {
    if (!create && errno == ENOENT) return std::unexpected(ERROR_FILE_NOT_FOUND);
    return std::unexpected(win32_error_from_errno(errno, path));
  }
  const bool alone = flock_retrying(file.get(), LOCK_EX | LOCK_NB) == 0;
  if (alone && !create) return std::unexpected(ERROR_FILE_NOT_FOUND);
  ClaimedName claimed{HostDescriptor(), alone, dacl};
  if (alone) {
    const std::string text = std::string(kind_text(kind)) + "\n" + dacl + "\n";
    // Written over the old text and then cut to length: cutting the file to nothing first would
    // free its blocks and have them written out again on every creation of the name.
    if (::pwrite(file.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
        ::ftruncate(file.get(), static_cast<off_t>(text.size())) != 0)
      return std::unexpected(win32_error_from_errno(errno, path));
  } else {
    // Written whole under the machine lock by the process that made the name.
    const std::string text = read_all(file.get());
    const std::size_t end = text.find('\n');
    const NamedKind held = text.substr(0, end) == "event" ? NamedKind::Event : NamedKind::Mutex;
    claimed.dacl = end == std::string::npos ? std::string(kNullDacl) : text.substr(end + 1);
    if (!claimed.dacl.empty() && claimed.dacl.back() == '\n') claimed.dacl.pop_back();
    if (DWORD error = open_error(held, claimed.dacl, kind, access)) return std::unexpected(error);
  }
  // From exclusive to shared: whoever else could take it exclusively waits for the machine lock.
  if (flock_retrying(file.get(), LOCK_SH) != 0)
    return std::unexpected(win32_error_from_errno(errno, path));
  claimed.file = std::move(file);
  return claimed;
}

}  // namespace winsim::detail
