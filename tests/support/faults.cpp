#include "support/faults.h"

#if !defined(_WIN32)
#include <winsim/testing.h>

namespace tavo::testing {

std::vector<std::string> faultable_functions() {
  std::vector<std::string> functions;
  for (const winsim::Call& call : winsim::trace()) {
    if (call.faultable) functions.push_back(call.function);
  }
  return functions;
}

std::vector<std::string> faultable_calls(std::size_t skip) {
  std::vector<std::string> calls;
  for (const winsim::Call& call : winsim::trace()) {
    if (!call.faultable) continue;
    if (skip > 0) {
      --skip;
      continue;
    }
    calls.push_back(call.function + " " + call.key);
  }
  return calls;
}

std::vector<std::string> keys_of(std::string_view function) {
  std::vector<std::string> keys;
  for (const winsim::Call& call : winsim::trace()) {
    if (call.function == function) keys.push_back(call.key);
  }
  return keys;
}

std::vector<std::string> dacl_calls_by_name() {
  std::vector<std::string> calls;
  for (const winsim::Call& call : winsim::trace()) {
    for (std::string_view by_name : {"GetNamedSecurityInfoW", "SetNamedSecurityInfoW",
                                     "GetFileSecurityW", "SetFileSecurityW"}) {
      if (call.function == by_name) calls.push_back(call.function + " " + call.key);
    }
  }
  return calls;
}

}  // namespace tavo::testing
#endif
