#include "sandbox_profile/pool.h"

#include <vector>

#include "runtime/log.h"
#include "runtime/progress.h"
#include "sandbox_profile/loopback.h"
#include "sandbox_profile/pool_constants.h"
#include "sandbox_profile/pool_dir.h"
#include "sandbox_profile/pool_version.h"
#include "sandbox_profile/profiles.h"
#include "sandbox_profile/registration_steps.h"
#include "sid/pool_entry.h"
#include "sid/sid_text.h"

namespace tavo {
namespace {

std::unexpected<HresultError> fatal(std::string message) {
  return std::unexpected(HresultError::program(std::move(message)));
}

std::expected<std::vector<PoolEntry>, HresultError> ensure_members(std::uint32_t size) {
  std::vector<PoolEntry> entries;
  ProgressLine progress(size);
  for (std::uint32_t i = 0; i < size; ++i) {
    const std::string name = pool_member_name(i);
    progress.show(i + 1, format("{}: profile", name));
    log(Level::Info, kTargetProfile, "[{}/{}] profile={}", i + 1, size, name);
    auto sid = ensure_profile(name);
    if (!sid) return std::unexpected(sid.error());
    auto sddl = sid_to_sddl(sid->get());
    if (!sddl) return std::unexpected(sddl.error());
    log(Level::Info, kTargetProfile, "[{}/{}] SID={}", i + 1, size, *sddl);
    entries.push_back(PoolEntry{std::move(*sid), std::move(*sddl)});
  }
  return entries;
}

}  // namespace

std::expected<std::uint32_t, HresultError> register_pool(std::uint32_t pool_size,
                                                         std::string_view pool_dir) {
  log(Level::Info, kTargetProfile, "registering pool of {} SIDs in {}", pool_size, pool_dir);
  if (pool_size < 1 || pool_size > POOL_SIZE_MAX) {
    return fatal(format("pool_size must be 1..={}, got {}", POOL_SIZE_MAX, pool_size));
  }
  if (auto prepared = prepare_pool_dir(pool_dir); !prepared) {
    return std::unexpected(prepared.error());
  }
  clear_pool_dats(pool_dir);

  auto entries = ensure_members(pool_size);
  if (!entries) return std::unexpected(entries.error());
  std::vector<PSID> sids;
  for (const PoolEntry& entry : *entries)
    sids.push_back(entry.sid.get());
  if (auto exempt = exempt_loopback_pool(sids); !exempt) return std::unexpected(exempt.error());

  if (auto steps = run_pool_steps(*entries, pool_dir); !steps) {
    return std::unexpected(steps.error());
  }
  const auto written = static_cast<std::uint32_t>(entries->size());

  // Last: the marker tells readers that every step of this registration has run.
  if (auto marked = write_pool_version(pool_dir); !marked) {
    return fatal(format("write pool version file: {}", marked.error()));
  }
  log(Level::Info, kTargetProfile, "pool registration complete ({} SIDs)", written);
  return written;
}

}  // namespace tavo
