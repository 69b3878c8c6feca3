// Who the caller is: the machine's first user unless the process was started as another.
#include <cstdlib>

#include "internal.h"
#include "winsim/testing.h"

namespace winsim::detail {

std::string caller_user() {
  const char* user = std::getenv("WINSIM_USER");
  if (user == nullptr || !sid_from_string(user)) return std::string(winsim::kUserSid);
  return user;
}

}  // namespace winsim::detail
