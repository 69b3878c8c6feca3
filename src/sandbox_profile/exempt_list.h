// The machine's loopback-exempt list through the network-isolation functions of firewallapi.dll,
// which are looked up at first use so that the program starts where the DLL is missing.
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "win/api.h"
#include "win/unique.h"

namespace tavo {

// The list as one read returned it. The platform allocates the array and every entry's SID on
// the process heap and leaves them to the caller, who gives each back through HeapFree. Entries
// copied out of the list point into this memory, so it must outlive the write that uses them.
class ExemptList {
 public:
  std::span<const SID_AND_ATTRIBUTES> entries() const;

 private:
  friend std::expected<ExemptList, DWORD> read_exempt_list();

  unique_heap<SID_AND_ATTRIBUTES> array_;
  DWORD count_ = 0;
  std::vector<unique_heap<void>> sids_;  // the SIDs the array points to
};

// NetworkIsolationGetAppContainerConfig. The error is a Win32 code: the call's own, or the one
// that kept the function from being found.
std::expected<ExemptList, DWORD> read_exempt_list();
// NetworkIsolationSetAppContainerConfig: replaces the whole list with `entries`.
std::expected<void, DWORD> write_exempt_list(std::span<SID_AND_ATTRIBUTES> entries);

// Test support: forgets the functions found so far, so that the next use looks them up again.
void forget_network_isolation_functions();

}  // namespace tavo
