#include "sandbox_profile/registration_steps.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "acl/dacl_lock.h"
#include "path_grant/path_dirs.h"
#include "path_grant/traversal.h"
#include "runtime/log.h"
#include "runtime/progress.h"
#include "sandbox_profile/admin_owned.h"
#include "sandbox_profile/credential_denylist.h"
#include "sandbox_profile/nul_device.h"
#include "sandbox_profile/package_dir_grants.h"
#include "sandbox_profile/pool_constants.h"
#include "sandbox_profile/profile_grants.h"
#include "sandbox_profile/registration_ledger.h"
#include "win/path.h"

namespace tavo {
namespace {

enum class Kind { Profile, Pool };

enum class Severity {
  Fatal,  // the registration stops with the error; nothing done before it is undone
  Warn,   // a warning, and the registration goes on
  Note,   // an info line, and the registration goes on
};

// What a failure of a step costs in one kind of registration, and its words: the pattern's "{}"
// take what failed (where a step fails per location) and the error. A pool's lines start with
// "[k/n] ". A fatal step without words hands its error on as it is; a step without words and
// not fatal reports its failures itself.
struct Handling {
  Severity severity;
  std::string_view failed;
};

// What a registration judges once for all its members (so that a refused location is warned
// about once) and the lock and ledger every step shares.
struct Registration {
  Registration(Kind of_kind, std::span<const PoolEntry> of_members)
      : kind(of_kind), members(of_members) {}

  Kind kind;
  std::span<const PoolEntry> members;
  // One lock for the whole registration: its waits share one budget. Every lasting entry is
  // recorded in the administrators' ledger before its write.
  DaclEditLock lock;
  RegistrationLedger ledger{lock};
  std::vector<std::string> credential_stores;
  UserFolders folders;
};

struct Member {
  const PoolEntry& entry;
  std::string name;      // of the profile
  std::string sid_file;  // where the SID file goes
  std::string prefix;    // of the member's log lines: "" for a profile, "[k/n] " in a pool
};

// The failures of one step of one member, worded and weighed by the step's handling.
class StepReport {
 public:
  StepReport(const Handling& handling, std::string_view prefix)
      : handling_(handling), prefix_(prefix) {}

  void failed(std::string_view error) { weigh(format(handling_.failed, error)); }
  void failed(std::string_view what, std::string_view error) {
    weigh(format(handling_.failed, what, error));
  }
  void failed(const HresultError& error) {
    if (handling_.severity == Severity::Fatal && handling_.failed.empty()) {
      if (!fatal_) fatal_ = error;
      return;
    }
    failed(format("{}", error));
  }

  const std::optional<HresultError>& fatal() const { return fatal_; }

 private:
  void weigh(const std::string& line) {
    switch (handling_.severity) {
      case Severity::Fatal:
        if (!fatal_) fatal_ = HresultError::program(format("{}{}", prefix_, line));
        return;
      case Severity::Warn:
        log(Level::Warn, kTargetProfile, "{}{}", prefix_, line);
        return;
      case Severity::Note:
        log(Level::Info, kTargetProfile, "{}{}", prefix_, line);
        return;
    }
  }

  const Handling& handling_;
  std::string_view prefix_;
  std::optional<HresultError> fatal_;
};

struct RegistrationStep {
  std::string_view name;
  Handling for_profile;
  Handling for_pool;
  // A pool runs its steps pass by pass, each pass for every member before the next.
  int pool_pass;
  void (*each)(Registration&, const Member&, StepReport&);
  // A pool runs this once for all its members instead of `each`, where it is set.
  void (*all)(Registration&) = nullptr;
  // What the step judges once per registration: before the step's first member (in a pool,
  // before its pass begins).
  void (*judge)(Registration&) = nullptr;
};

void judge_credential_stores(Registration& registration) {
  std::vector<std::string> stores = credential_deny_paths();
  if (registration.kind == Kind::Profile) {
    log(Level::Info, kTargetProfile, "applying {} credential DENY ACEs", stores.size());
  }
  registration.credential_stores = deniable_credential_stores(std::move(stores));
}

void deny_credentials(Registration& registration, const Member& member, StepReport& report) {
  PSID sid = member.entry.sid.get();
  deny_credential_stores(
      sid, registration.credential_stores,
      [&](const std::string& store, const HresultError& error) {
        report.failed(store, format("{}", error));
      },
      registration.lock, registration.ledger.deny_of(sid));
}

void judge_user_folders(Registration& registration) {
  registration.folders = user_folders();
}

void grant_drive_root(Registration& registration, const Member& member, StepReport& report) {
  PSID sid = member.entry.sid.get();
  if (auto granted =
          grant_drive_root_traversal(sid, registration.lock, registration.ledger.traversal_of(sid));
      !granted) {
    report.failed(granted.error());
  }
}

void grant_home_ancestors(Registration& registration, const Member& member, StepReport& report) {
  if (!registration.folders.home) return;
  PSID sid = member.entry.sid.get();
  if (auto granted = grant_folder_and_ancestors(sid, *registration.folders.home, registration.lock,
                                                registration.ledger.traversal_of(sid));
      !granted) {
    report.failed(granted.error());
  }
}

void grant_packages_ancestors(Registration& registration, const Member& member,
                              StepReport& report) {
  if (!registration.folders.packages) return;
  PSID sid = member.entry.sid.get();
  if (auto granted =
          grant_folder_and_ancestors(sid, *registration.folders.packages, registration.lock,
                                     registration.ledger.traversal_of(sid));
      !granted) {
    report.failed(granted.error());
  }
}

void grant_own_package_dir(Registration& registration, const Member& member, StepReport& report) {
  if (!registration.folders.packages) return;
  PSID sid = member.entry.sid.get();
  if (auto granted = grant_package_dir(sid, *registration.folders.packages, member.name,
                                       registration.lock, registration.ledger.grant_of(sid));
      !granted) {
    report.failed(granted.error());
  }
}

void grant_nul(Registration& registration, const Member& member, StepReport& report) {
  PSID sid = member.entry.sid.get();
  if (auto granted =
          grant_nul_device(sid, registration.lock.hold(), registration.ledger.nul_device_of(sid));
      !granted) {
    report.failed(granted.error());
  }
}

void grant_tool_dirs(Registration& registration, const Member& member, StepReport&) {
  grant_user_package_dirs(member.entry.sid.get(), registration.lock, &registration.ledger);
}

void grant_tool_dirs_at_once(Registration& registration) {
  grant_user_package_dirs_batch(registration.members, &registration.ledger);
}

void grant_path(Registration& registration, const Member& member, StepReport& report) {
  if (auto granted = grant_path_dirs(member.entry.sid.get(), member.entry.sddl, registration.lock,
                                     &registration.ledger);
      !granted) {
    report.failed(granted.error());
  }
}

void grant_path_at_once(Registration& registration) {
  grant_path_dirs_batch(registration.members, registration.lock, &registration.ledger);
}

void write_sid_file(Registration& registration, const Member& member, StepReport& report) {
  if (auto written = write_text_file(member.sid_file, member.entry.sddl); !written) {
    report.failed(written.error());
    return;
  }
  if (registration.kind == Kind::Profile) {
    log(Level::Info, kTargetProfile, "persisted SDDL to {}", member.sid_file);
  } else {
    log(Level::Info, kTargetProfile, "{}written {}", member.prefix, member.sid_file);
  }
}

using enum Severity;

// In a profile's order. A pool runs pass 1 for every member, then pass 2, then the PATH and the
// tool caches once for all members.
constexpr std::array<RegistrationStep, 9> kRegistrationSteps = {{
    {.name = "credential denies",
     .for_profile = {Warn, "DENY ACE on {} failed: {}"},
     .for_pool = {Note, "DENY on {} failed: {}"},
     .pool_pass = 1,
     .each = deny_credentials,
     .judge = judge_credential_stores},
    {.name = "drive root traversal",
     .for_profile = {Warn, "drive root traversal grant failed (non-fatal): {}"},
     .for_pool = {Fatal, "drive root traversal grant failed (critical): {}"},
     .pool_pass = 2,
     .each = grant_drive_root},
    {.name = "USERPROFILE ancestors",
     .for_profile = {Warn, "USERPROFILE ancestor grants failed (non-fatal): {}"},
     .for_pool = {Warn, "USERPROFILE ancestor grant failed: {}"},
     .pool_pass = 2,
     .each = grant_home_ancestors,
     .judge = judge_user_folders},
    {.name = "LOCALAPPDATA\\Packages ancestors",
     .for_profile = {Warn, "LOCALAPPDATA\\Packages ancestor grants failed (non-fatal): {}"},
     .for_pool = {Warn, "LOCALAPPDATA ancestor grant failed: {}"},
     .pool_pass = 2,
     .each = grant_packages_ancestors},
    {.name = "own package directory",
     .for_profile = {Warn, "AC package dir grant failed (non-fatal): {}"},
     .for_pool = {Warn, "AC package dir grant failed: {}"},
     .pool_pass = 2,
     .each = grant_own_package_dir},
    {.name = "NUL device",
     .for_profile = {Warn, "NUL device grant failed (non-fatal): {}"},
     .for_pool = {Fatal, "NUL device grant failed (critical): {}"},
     .pool_pass = 1,
     .each = grant_nul},
    // Each directory's failure is logged by the step and never reaches the registration.
    {.name = "tool caches",
     .for_profile = {Warn, ""},
     .for_pool = {Warn, ""},
     .pool_pass = 4,
     .each = grant_tool_dirs,
     .all = grant_tool_dirs_at_once},
    // A profile's scan ends at an icacls that cannot be started; a pool's logs it and goes on.
    {.name = "PATH",
     .for_profile = {Warn, "PATH-scan grant failed (non-fatal): {}"},
     .for_pool = {Warn, ""},
     .pool_pass = 3,
     .each = grant_path,
     .all = grant_path_at_once},
    // Last for a profile: a SID file exists only for a profile whose every step has run.
    {.name = "SID file",
     .for_profile = {Fatal, ""},
     .for_pool = {Fatal, ""},
     .pool_pass = 1,
     .each = write_sid_file},
}};
constexpr int kPoolPasses = 4;

// What a pool's progress line shows for a member during passes 1 and 2.
constexpr std::array<std::string_view, 2> kPoolPassShown = {
    "credential denies, NUL device, SID file",
    "traversal and package directory grants",
};

}  // namespace

std::string pool_member_name(std::size_t index) {
  return format("{}{}", POOL_PROFILE_PREFIX, index);
}

std::expected<void, HresultError> run_profile_steps(const PoolEntry& member,
                                                    std::string_view profile_name,
                                                    std::string_view sid_file) {
  Registration registration(Kind::Profile, std::span(&member, 1));
  const Member one{member, std::string(profile_name), std::string(sid_file), ""};
  for (const RegistrationStep& step : kRegistrationSteps) {
    if (step.judge != nullptr) step.judge(registration);
    StepReport report(step.for_profile, one.prefix);
    step.each(registration, one, report);
    if (report.fatal()) return std::unexpected(*report.fatal());
  }
  return {};
}

std::expected<void, HresultError> run_pool_steps(std::span<const PoolEntry> members,
                                                 std::string_view pool_dir) {
  Registration registration(Kind::Pool, members);
  const std::size_t size = members.size();
  for (int pass = 1; pass <= kPoolPasses; ++pass) {
    std::vector<const RegistrationStep*> rows;
    for (const RegistrationStep& step : kRegistrationSteps) {
      if (step.pool_pass == pass) rows.push_back(&step);
    }
    if (rows.size() == 1 && rows.front()->all != nullptr) {
      rows.front()->all(registration);
      continue;
    }
    for (const RegistrationStep* step : rows) {
      if (step->judge != nullptr) step->judge(registration);
    }
    ProgressLine progress(size);
    for (std::size_t k = 1; k <= size; ++k) {
      const PoolEntry& entry = members[k - 1];
      const Member member{entry, pool_member_name(k - 1),
                          path::join(pool_dir, format("{}.dat", entry.sddl)),
                          format("[{}/{}] ", k, size)};
      progress.show(k, format("{}: {}", member.name, kPoolPassShown[pass - 1]));
      for (const RegistrationStep* step : rows) {
        StepReport report(step->for_pool, member.prefix);
        step->each(registration, member, report);
        if (report.fatal()) return std::unexpected(*report.fatal());
      }
    }
  }
  return {};
}

}  // namespace tavo
