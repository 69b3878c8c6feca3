// Telling a running process from one that has ended, also when its id has been given to another.
#pragma once

#include <cstdint>
#include <optional>

#include "win/api.h"

namespace tavo {

// A process id with the process's creation time: an id alone may be reused once its process
// has ended, the pair names one process for good.
struct ProcessIdentity {
  DWORD pid = 0;
  std::uint64_t created = 0;  // 100 ns intervals since 1601, as the platform keeps it
  friend bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;
};

// This process. Fails only when the platform cannot say when it was created.
std::optional<ProcessIdentity> current_process();

// Whether the process may still be running. Only a process known to be gone gives false: an id
// that names no process, or another process than the one created then, or one that has ended.
// A process that cannot be looked at (another user's, say) counts as running.
bool may_be_running(const ProcessIdentity& process);

}  // namespace tavo
