#include "win/child_std_handles.h"

#include <algorithm>

#include "win/wide.h"

namespace tavo {
namespace {

// Null for a handle the process lacks (null or invalid), the handle otherwise.
HANDLE present(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

// The command reads nothing and writes into nothing rather than lack the handle: a caller without
// a console (a service, a window application) still gets its command run.
std::expected<unique_handle, HresultError> inheritable_nul() {
  SECURITY_ATTRIBUTES inheritable{};
  inheritable.nLength = sizeof inheritable;
  inheritable.bInheritHandle = TRUE;
  unique_handle nul(CreateFileW(to_wide_nul("NUL").c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                                nullptr));
  if (!nul) return std::unexpected(HresultError::from_last_error());
  return nul;
}

// A second handle to the object, inheritable: the caller's own handle may not be, and its flag
// is the caller's to keep.
std::expected<unique_handle, HresultError> inheritable_duplicate(HANDLE handle) {
  unique_handle copy;
  if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), copy.put(), 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return std::unexpected(HresultError::from_last_error());
  }
  return copy;
}

}  // namespace

std::expected<ChildStdHandles, HresultError> ChildStdHandles::of_this_process() {
  const std::array<HANDLE, 3> given = {present(GetStdHandle(STD_INPUT_HANDLE)),
                                       present(GetStdHandle(STD_OUTPUT_HANDLE)),
                                       present(GetStdHandle(STD_ERROR_HANDLE))};
  ChildStdHandles out;
  for (std::size_t i = 0; i < given.size(); ++i) {
    // One handle serving twice (output and error alike), or a second missing one, stays one
    // handle for the child.
    const auto first = std::find(given.begin(), given.end(), given[i]);
    if (first != given.begin() + static_cast<std::ptrdiff_t>(i)) {
      out.std_[i] = out.std_[static_cast<std::size_t>(first - given.begin())];
      continue;
    }
    auto made = given[i] == nullptr ? inheritable_nul() : inheritable_duplicate(given[i]);
    if (!made) return std::unexpected(made.error());
    out.std_[i] = made->get();
    out.listed_.push_back(made->get());
    out.owned_.push_back(std::move(*made));
  }
  return out;
}

std::expected<void, HresultError> ChildStdHandles::hand_to(AttributeList& list,
                                                           STARTUPINFOEXW& info) {
  if (auto set = list.update(PROC_THREAD_ATTRIBUTE_HANDLE_LIST, listed_.data(), list_size()); !set)
    return set;
  info.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
  info.StartupInfo.hStdInput = std_[0];
  info.StartupInfo.hStdOutput = std_[1];
  info.StartupInfo.hStdError = std_[2];
  info.lpAttributeList = list.get();
  return {};
}

}  // namespace tavo
