#include "sandbox_profile/exempt_list.h"

#include "win/error.h"
#include "win/system_function.h"

namespace tavo {
namespace {

using GetConfigFunction = DWORD(WINAPI*)(DWORD* count, PSID_AND_ATTRIBUTES* app_containers);
using SetConfigFunction = DWORD(WINAPI*)(DWORD count, PSID_AND_ATTRIBUTES app_containers);

struct Resolved {
  GetConfigFunction get = nullptr;
  SetConfigFunction set = nullptr;
};

Resolved& resolved() {
  static Resolved functions;
  return functions;
}

// Finds `name` in firewallapi.dll and keeps it in `slot`; a failure is tried again next time.
template <class Function>
std::expected<Function, DWORD> resolve(const char* name, Function& slot) {
  if (slot != nullptr) return slot;
  auto found = system_function_as<Function>("firewallapi.dll", name);
  if (found) slot = *found;
  return found;
}

}  // namespace

std::span<const SID_AND_ATTRIBUTES> ExemptList::entries() const {
  if (!array_) return {};  // a count without an array is an empty list
  return {array_.get(), count_};
}

std::expected<ExemptList, DWORD> read_exempt_list() {
  auto get = resolve("NetworkIsolationGetAppContainerConfig", resolved().get);
  if (!get) return std::unexpected(get.error());
  // The heap that receives the list is needed to give it back; without it, do not ask for it.
  const HANDLE heap = GetProcessHeap();
  if (heap == nullptr) return std::unexpected(last_error_or(ERROR_INVALID_HANDLE));
  PSID_AND_ATTRIBUTES array = nullptr;
  ExemptList list;
  const DWORD error = (*get)(&list.count_, &array);
  list.array_ = unique_heap<SID_AND_ATTRIBUTES>(heap, array);
  for (DWORD i = 0; array != nullptr && i < list.count_; ++i)
    list.sids_.emplace_back(heap, array[i].Sid);
  if (error != ERROR_SUCCESS) return std::unexpected(error);
  return list;
}

std::expected<void, DWORD> write_exempt_list(std::span<SID_AND_ATTRIBUTES> entries) {
  auto set = resolve("NetworkIsolationSetAppContainerConfig", resolved().set);
  if (!set) return std::unexpected(set.error());
  const DWORD error = (*set)(static_cast<DWORD>(entries.size()), entries.data());
  if (error != ERROR_SUCCESS) return std::unexpected(error);
  return {};
}

void forget_network_isolation_functions() {
  resolved() = Resolved{};
}

}  // namespace tavo
