#include "sandbox_profile/loopback.h"

#include <algorithm>
#include <vector>

#include "runtime/log.h"
#include "sandbox_profile/exempt_list.h"

namespace tavo {
namespace {

// One first try and one retry after a lost write.
constexpr int kMaxAttempts = 2;

// Entry's SID first, the sandbox SID second. A comparison the platform cannot make counts as
// no match.
bool same_sid(PSID entry, PSID sid) {
  return entry != nullptr && EqualSid(entry, sid) != FALSE;
}

bool is_listed(std::span<const SID_AND_ATTRIBUTES> entries, PSID sid) {
  return std::any_of(entries.begin(), entries.end(),
                     [&](const SID_AND_ATTRIBUTES& e) { return same_sid(e.Sid, sid); });
}

HresultError read_failed(DWORD error) {
  return HresultError(
      0, format("NetworkIsolationGetAppContainerConfig returned Win32 error {} (admin?)", error));
}

}  // namespace

std::expected<void, HresultError> exempt_loopback(PSID sid) {
  for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
    auto current = read_exempt_list();
    if (!current) return std::unexpected(read_failed(current.error()));
    if (is_listed(current->entries(), sid)) {
      // On the retry this is the check of the first attempt's write, which did survive.
      log(Level::Info, kTargetProfile,
          attempt == 1 ? "SID already loopback-exempt; leaving list unchanged"
                       : "verified SID present after retry");
      return {};
    }

    // Copied entries point into `current`, which is released only after the write below.
    std::vector<SID_AND_ATTRIBUTES> updated(current->entries().begin(), current->entries().end());
    updated.push_back(SID_AND_ATTRIBUTES{sid, 0});
    log(Level::Info, kTargetProfile,
        "setting loopback-exempt list with {} entries ({} preexisting + ours)", updated.size(),
        current->entries().size());
    if (auto written = write_exempt_list(updated); !written) {
      return std::unexpected(HresultError(
          0, format("NetworkIsolationSetAppContainerConfig returned Win32 error {} (admin?)",
                    written.error())));
    }

    auto check = read_exempt_list();
    if (!check) {
      log(Level::Warn, kTargetProfile,
          "verify-after-set Get failed (error {}); Set succeeded so proceeding optimistically",
          check.error());
      return {};
    }
    if (is_listed(check->entries(), sid)) return {};
    log(Level::Warn, kTargetProfile,
        "verify-after-set failed (race detected), retrying (attempt {})", attempt);
  }
  return std::unexpected(
      HresultError::program("loopback exemption set failed after 2 attempts (concurrent race)"));
}

std::expected<void, HresultError> exempt_loopback_pool(std::span<const PSID> sids) {
  auto current = read_exempt_list();
  if (!current) return std::unexpected(read_failed(current.error()));

  std::vector<SID_AND_ATTRIBUTES> updated;
  for (const SID_AND_ATTRIBUTES& entry : current->entries()) {
    const bool ours =
        std::any_of(sids.begin(), sids.end(), [&](PSID sid) { return same_sid(entry.Sid, sid); });
    if (!ours) updated.push_back(entry);
  }
  const std::size_t preserved = updated.size();
  for (PSID sid : sids)
    updated.push_back(SID_AND_ATTRIBUTES{sid, 0});

  if (auto written = write_exempt_list(updated); !written) {
    return std::unexpected(HresultError(
        0, format("NetworkIsolationSetAppContainerConfig (pool) returned Win32 error {} (admin?)",
                  written.error())));
  }
  log(Level::Info, kTargetProfile, "loopback exemption set ({} pool + {} preserved = {} total)",
      sids.size(), preserved, updated.size());
  return {};
}

std::expected<bool, LoopbackRemovalError> remove_loopback_exemption(PSID sid) {
  auto current = read_exempt_list();
  if (!current) return std::unexpected(LoopbackRemovalError{false, read_failed(current.error())});
  if (!is_listed(current->entries(), sid)) return false;
  std::vector<SID_AND_ATTRIBUTES> kept;
  for (const SID_AND_ATTRIBUTES& entry : current->entries()) {
    if (!same_sid(entry.Sid, sid)) kept.push_back(entry);
  }
  if (auto written = write_exempt_list(kept); !written) {
    return std::unexpected(LoopbackRemovalError{
        true, HresultError(0, format("NetworkIsolationSetAppContainerConfig returned Win32 error "
                                     "{} (admin?)",
                                     written.error()))});
  }
  log(Level::Info, kTargetProfile, "SID taken off the loopback-exempt list ({} entries stay)",
      kept.size());
  return true;
}

}  // namespace tavo
