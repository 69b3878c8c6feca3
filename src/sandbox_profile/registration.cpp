#include "sandbox_profile/registration.h"

#include "runtime/log.h"
#include "sandbox_profile/loopback.h"
#include "sandbox_profile/profiles.h"
#include "sandbox_profile/registration_steps.h"
#include "sid/pool_entry.h"
#include "sid/sid_text.h"

namespace tavo {

std::expected<void, HresultError> register_sandbox_profile(std::string_view profile_name,
                                                           std::string_view sid_out_file) {
  log(Level::Info, kTargetProfile, "registering profile={} sid_out_file={}", profile_name,
      sid_out_file);
  auto sid = ensure_profile(profile_name);
  if (!sid) return std::unexpected(sid.error());
  auto sddl = sid_to_sddl(sid->get());
  if (!sddl) return std::unexpected(sddl.error());
  log(Level::Info, kTargetProfile, "profile created/derived, SID={}", *sddl);

  if (auto exempt = exempt_loopback(sid->get()); !exempt) return std::unexpected(exempt.error());
  log(Level::Info, kTargetProfile, "loopback exemption registered");

  const PoolEntry member{std::move(*sid), std::move(*sddl)};
  return run_profile_steps(member, profile_name, sid_out_file);
}

}  // namespace tavo
