#include "sandbox_profile/recorded_icacls.h"

#include <algorithm>

#include "acl/dacl_object.h"
#include "acl/take_back.h"
#include "base/format.h"
#include "path_grant/icacls.h"
#include "path_grant/icacls_target.h"
#include "run_journal/ledger.h"
#include "runtime/log.h"

namespace tavo {
namespace {

constexpr std::string_view kTree = "/T";

}  // namespace

std::vector<LedgerEntry> icacls_records(std::string_view target,
                                        std::span<const std::string> grants,
                                        std::span<const std::string_view> flags) {
  const bool tree = std::find(flags.begin(), flags.end(), kTree) != flags.end();
  std::vector<LedgerEntry> records;
  for (const std::string& grant : grants) {
    // "*S-1-15-2-...:(OI)(CI)RX": the SID after the star, the grant after the colon.
    const std::size_t colon = grant.find(':');
    if (!grant.starts_with('*') || colon == std::string::npos) continue;
    records.push_back(LedgerEntry{
        .kind = EntryKind::Icacls,
        .sid = grant.substr(1, colon - 1),
        .level = grant.substr(colon + 1),
        .options = tree ? std::string(kTree) : std::string("-"),
        .placed = placed_now(),
        .identity = std::nullopt,
        .object = std::string(target),
    });
  }
  return records;
}

std::expected<void, std::string> remove_icacls_grant(const LedgerEntry& entry) {
  auto target = IcaclsTarget::hold(entry.object, kTargetMain);
  if (!target) return std::unexpected(target.error());
  if (!*target) return std::unexpected(format("{} leads to a system location now", entry.object));
  const std::vector<std::string> sids{"*" + entry.sid};
  const bool tree = entry.options == kTree;
  auto run = run_icacls((*target)->path(), sids,
                        tree ? std::span<const std::string_view>(kIcaclsTreeFlags)
                             : std::span<const std::string_view>(kIcaclsDirFlags),
                        "/remove:g");
  if (!run) return std::unexpected(format("icacls could not be started: {}", run.error()));
  if (!run->ok()) return std::unexpected(run->error_text);
  return {};
}

std::expected<bool, std::string> icacls_grant_in_place(PSID sid, const LedgerEntry& entry) {
  // Only read, so the name serves: nothing is written through it.
  auto object = DaclObject::open_to_read(entry.object);
  if (!object) return std::unexpected(object.error().display());
  auto held = holds_entries(sid, *object, TakenEntries::Allows);
  if (!held) return std::unexpected(held.error().display());
  return *held;
}

}  // namespace tavo
