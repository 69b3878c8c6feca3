// Exempting sandbox SIDs from loopback isolation, so that a sandboxed process may connect to
// servers on the local machine. The exempt list is machine-wide and other software keeps its own
// entries there: they stay, in their order and with their attributes.
#pragma once

#include <expected>
#include <span>

#include "win/api.h"
#include "win/error.h"

namespace tavo {

// Adds `sid` to the list unless it is there already, then reads the list back: a concurrent
// writer that replaced the list in between costs one retry. Needs administrator rights.
std::expected<void, HresultError> exempt_loopback(PSID sid);

// Puts the pool's SIDs at the end of the list in pool order, replacing entries an earlier
// registration of the same pool left, in one read and one write.
std::expected<void, HresultError> exempt_loopback_pool(std::span<const PSID> sids);

// Takes `sid` off the list when it is there, in one read and (then only) one write; every other
// entry stays, in its order. True when it was there. Writing needs administrator rights.
struct LoopbackRemovalError {
  bool listed;  // the SID is on the list and stays there: only the write failed
  HresultError error;
};
std::expected<bool, LoopbackRemovalError> remove_loopback_exemption(PSID sid);

}  // namespace tavo
