// Resource accounting: who handed out what, and whether it came back once, the right way.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "internal.h"
#include "winsim/testing.h"

namespace winsim::detail {
namespace {

struct Held {
  Release how;
  std::string made_by;
};

// Locked: a console handler's thread takes and releases resources beside the main thread.
struct Accounts {
  std::mutex lock;
  std::map<const void*, Held> held;
  std::vector<std::string> errors;
};

Accounts& accounts() {
  static Accounts instance;
  return instance;
}

std::string describe(const void* resource) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", resource);
  return text;
}

}  // namespace

std::string_view release_name(Release how) {
  switch (how) {
    case Release::LocalFree:
      return "LocalFree";
    case Release::FreeSid:
      return "FreeSid";
    case Release::HeapFree:
      return "HeapFree";
    case Release::CloseHandle:
      return "CloseHandle";
    case Release::FindClose:
      return "FindClose";
    case Release::DeleteAttributeList:
      return "DeleteProcThreadAttributeList";
  }
  return "?";
}

void track(const void* resource, Release how, std::string made_by) {
  Accounts& a = accounts();
  std::lock_guard hold(a.lock);
  a.held[resource] = Held{how, std::move(made_by)};
}

bool untrack(const void* resource, Release how) {
  Accounts& a = accounts();
  std::lock_guard hold(a.lock);
  auto it = a.held.find(resource);
  if (it == a.held.end()) {
    a.errors.push_back(std::string(release_name(how)) + " on " + describe(resource) +
                       ", which is not held (never handed out, or released already)");
    return false;
  }
  if (it->second.how != how) {
    a.errors.push_back(std::string(release_name(how)) + " on a resource from " +
                       it->second.made_by + ", which must be released with " +
                       std::string(release_name(it->second.how)));
  }
  a.held.erase(it);
  return true;
}

void reset_accounting() {
  Accounts& a = accounts();
  std::lock_guard hold(a.lock);
  a.held.clear();
  a.errors.clear();
}

void* local_alloc(std::size_t bytes, bool zero, std::string made_by) {
  // Never a zero-sized block: the pointer must be unique so that it can be accounted.
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) return nullptr;
  if (zero) std::memset(block, 0, bytes == 0 ? 1 : bytes);
  track(block, Release::LocalFree, std::move(made_by));
  return block;
}

}  // namespace winsim::detail

namespace winsim {

std::vector<std::string> leaks() {
  std::lock_guard hold(detail::accounts().lock);
  std::vector<std::string> out;
  for (const auto& [resource, held] : detail::accounts().held) {
    out.push_back(held.made_by + " handed out " + detail::describe(resource) +
                  ", never released with " + std::string(detail::release_name(held.how)));
  }
  return out;
}

std::vector<std::string> release_errors() {
  std::lock_guard hold(detail::accounts().lock);
  return detail::accounts().errors;
}

}  // namespace winsim
