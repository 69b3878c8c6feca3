// One member of a profile pool.
#pragma once

#include <string>

#include "sid/sandbox_sid.h"

namespace tavo {

struct PoolEntry {
  SandboxSid sid;    // of kind Profile, released when the entry goes
  std::string sddl;  // its SDDL string, which also names its SID file
};

}  // namespace tavo
