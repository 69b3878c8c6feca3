// Mutexes (kernel32). A named mutex is one object for every process on the machine when
// WINSIM_STATE is set (its files are in mutex_files.*), and an object of this process otherwise;
// an unnamed one always belongs to this process. Ownership is this process's: the program has one
// thread, so the process stands for the owning thread, and a mutex it owns it may take again.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "descriptors.h"
#include "mutex_files.h"
#include "mutexes.h"
#include "named_objects.h"
#include "winsim/kernel.h"
#include "winsim/process.h"
#include "winsim/testing.h"

namespace winsim::detail {
namespace {

// The mutex as this process sees it, shared by all its handles to it.
class Mutex {
 public:
  // `owned`: the files were taken for this process as the mutex was created.
  Mutex(std::string name, std::unique_ptr<MutexFiles> files, bool owned = false)
      : name_(std::move(name)), files_(std::move(files)), owned_(owned ? 1 : 0) {}
  // Closing the last handle while owning leaves the owner's mark behind: the next owner in
  // another process finds the mutex abandoned.
  ~Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  const std::string& name() const { return name_; }
  DWORD wait(DWORD milliseconds);
  bool release();

 private:
  std::string name_;                   // "" for an unnamed mutex
  std::unique_ptr<MutexFiles> files_;  // null: the mutex lives in this process
  unsigned long owned_ = 0;            // how often this process took it without releasing
};

struct MutexHandle final : HandleObject {
  explicit MutexHandle(std::shared_ptr<Mutex> shared) : mutex(std::move(shared)) {}
  std::string_view kind() const override { return "mutex"; }
  std::shared_ptr<Mutex> mutex;
};

struct Registry {
  // Named mutexes of this process's own machine that abandon_mutex marked.
  std::set<std::string> abandoned;
};

Registry& raw_registry() {
  static Registry instance;
  return instance;
}

Registry& registry() {
  static const bool registered = [] {
    // Not persisted. Mutexes go with their handles when the machine is reset.
    register_section(StateSection{"", {}, {}, [] { raw_registry().abandoned.clear(); }});
    return true;
  }();
  (void)registered;
  return raw_registry();
}

// Takes the abandonment a test arranged for a mutex of this process's own machine.
bool take_arranged_abandonment(const std::string& name) {
  return !name.empty() && registry().abandoned.erase(name) > 0;
}

DWORD Mutex::wait(DWORD milliseconds) {
  if (owned_ > 0) {
    ++owned_;
    return WAIT_OBJECT_0;
  }
  bool abandoned = false;
  if (files_) {
    auto taken = files_->lock(milliseconds);
    if (!taken) return fail(taken.error(), WAIT_FAILED);
    if (!*taken) return WAIT_TIMEOUT;
    abandoned = files_->take_over();
  } else {
    abandoned = take_arranged_abandonment(name_);
  }
  owned_ = 1;
  return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

bool Mutex::release() {
  if (owned_ == 0) return false;
  if (--owned_ == 0 && files_) files_->unlock();
  return true;
}

// The attributes' descriptor must be one.
DWORD attributes_error(const SECURITY_ATTRIBUTES* attributes) {
  if (attributes == nullptr || attributes->lpSecurityDescriptor == nullptr) return ERROR_SUCCESS;
  auto parts = descriptor_parts(attributes->lpSecurityDescriptor);
  if (!parts) return ERROR_INVALID_SECURITY_DESCR;
  if (parts->dacl != nullptr && !read_acl(parts->dacl)) return ERROR_INVALID_ACL;
  return ERROR_SUCCESS;
}

struct Found {
  std::shared_ptr<Mutex> mutex;
  bool created = false;
};

// The named mutex, from this process's handles, the machine's files or (`create`) made anew
// with `dacl`; owned by this process when it was made here and `initial_owner` asks for it. An
// existing one must be a mutex whose DACL grants `access`.
std::expected<Found, DWORD> find_named(const std::string& name, bool create, bool initial_owner,
                                       const std::string& dacl, ACCESS_MASK access) {
  auto known = local_object(name, NamedKind::Mutex, access);
  if (!known) return std::unexpected(known.error());
  if (*known) return Found{std::static_pointer_cast<Mutex>(*known), false};
  std::shared_ptr<Mutex> mutex;
  bool created = true;
  std::string name_dacl = dacl;
  if (!state_path().empty()) {
    auto opened = MutexFiles::open(name, create, initial_owner, dacl, access);
    if (!opened) return std::unexpected(opened.error());
    created = opened->created;
    name_dacl = std::move(opened->dacl);
    mutex = std::make_shared<Mutex>(name, std::move(opened->files), opened->owned);
  } else if (create) {
    mutex = std::make_shared<Mutex>(name, nullptr, initial_owner);
  } else {
    return std::unexpected(ERROR_FILE_NOT_FOUND);
  }
  local_names()[name] = LocalName{NamedKind::Mutex, std::move(name_dacl), mutex};
  return Found{mutex, created};
}

}  // namespace

std::optional<DWORD> wait_for_mutex(HANDLE handle, DWORD milliseconds) {
  auto object = find_handle_as<MutexHandle>(handle);
  if (!object) return std::nullopt;
  return object->mutex->wait(milliseconds);
}

std::optional<std::string> mutex_name_of(HANDLE handle) {
  auto object = find_handle_as<MutexHandle>(handle);
  if (!object) return std::nullopt;
  return object->mutex->name();
}

}  // namespace winsim::detail

using namespace winsim::detail;

namespace {

// CreateMutexW and CreateMutexExW alike; `function` names the call in the trace, `access` is what
// an existing mutex's DACL must grant.
HANDLE create_mutex(std::string_view function, LPSECURITY_ATTRIBUTES attributes, bool initial_owner,
                    LPCWSTR name, ACCESS_MASK access) {
  const std::string made_by(function);
  if (DWORD error = enter(function, narrow(name))) return fail(error, HANDLE{nullptr});
  if (DWORD error = attributes_error(attributes)) return fail(error, HANDLE{nullptr});
  // An empty name makes an unnamed mutex *(A)*.
  if (name == nullptr || *name == u'\0') {
    auto mutex = std::make_shared<Mutex>(std::string{}, nullptr, initial_owner);
    set_last_error(ERROR_SUCCESS);
    return add_handle(std::make_shared<MutexHandle>(mutex), Release::CloseHandle, made_by);
  }
  if (DWORD error = name_error(view(name))) return fail(error, HANDLE{nullptr});
  // Ownership comes with creation only; opening an existing mutex ignores the request.
  auto found =
      find_named(namespaced(narrow(name)), true, initial_owner, new_name_dacl(attributes), access);
  if (!found) return fail(found.error(), HANDLE{nullptr});
  HANDLE handle =
      add_handle(std::make_shared<MutexHandle>(found->mutex), Release::CloseHandle, made_by);
  set_last_error(found->created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
  return handle;
}

}  // namespace

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCWSTR name) {
  return create_mutex("CreateMutexW", attributes, initial_owner != FALSE, name, MUTEX_ALL_ACCESS);
}

HANDLE CreateMutexExW(LPSECURITY_ATTRIBUTES attributes, LPCWSTR name, DWORD flags, DWORD access) {
  if ((flags & ~CREATE_MUTEX_INITIAL_OWNER) != 0) {
    if (DWORD error = enter("CreateMutexExW", narrow(name))) return fail(error, HANDLE{nullptr});
    return fail(ERROR_INVALID_PARAMETER, HANDLE{nullptr});
  }
  return create_mutex("CreateMutexExW", attributes, (flags & CREATE_MUTEX_INITIAL_OWNER) != 0, name,
                      access);
}

HANDLE OpenMutexW(DWORD access, BOOL, LPCWSTR name) {
  if (DWORD error = enter("OpenMutexW", narrow(name))) return fail(error, HANDLE{nullptr});
  if (name == nullptr) return fail(ERROR_INVALID_PARAMETER, HANDLE{nullptr});
  if (DWORD error = name_error(view(name))) return fail(error, HANDLE{nullptr});
  auto found = find_named(namespaced(narrow(name)), false, false, {}, access);
  if (!found) return fail(found.error(), HANDLE{nullptr});
  return add_handle(std::make_shared<MutexHandle>(found->mutex), Release::CloseHandle,
                    "OpenMutexW");
}

BOOL ReleaseMutex(HANDLE handle) {
  auto object = find_handle_as<MutexHandle>(handle);
  if (DWORD error = enter("ReleaseMutex", object ? object->mutex->name() : std::string{}))
    return fail(error, FALSE);
  if (!object) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!object->mutex->release()) return fail(ERROR_NOT_OWNER, FALSE);
  return TRUE;
}

namespace winsim {

void abandon_mutex(std::string_view name) {
  const std::string key = detail::namespaced(name);
  if (detail::state_path().empty()) {
    detail::registry().abandoned.insert(key);
    return;
  }
  if (DWORD error = detail::MutexFiles::mark_abandoned(key)) {
    std::fprintf(stderr, "winsim::abandon_mutex: cannot mark \"%s\" (error %u)\n", key.c_str(),
                 static_cast<unsigned>(error));
    std::abort();  // a broken test arrangement
  }
}

}  // namespace winsim
