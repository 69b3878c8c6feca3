#include "run_journal/journal_folder.h"

#include <array>
#include <chrono>

#include "acl/object_control.h"
#include "base/format.h"
#include "runtime/log.h"
#include "sid/current_user.h"
#include "win/fs.h"
#include "win/path.h"
#include "win/security_descriptor.h"
#include "win/wide.h"

namespace tavo {
namespace {

constexpr std::string_view kOwners = "the user, SYSTEM or Administrators";

// Who may change the program's own files: the user the program runs as, SYSTEM and the
// Administrators (who can change anything of the user's anyway).
struct Trusted {
  std::string user;
  std::array<std::string_view, 3> sids() const { return {user, kSystemSid, kAdministratorsSid}; }
};

std::expected<Trusted, std::string> trusted() {
  auto user = current_user_sid();
  if (!user) return std::unexpected(format("this process's user cannot be told: {}", user.error()));
  return Trusted{std::move(*user)};
}

std::expected<std::optional<std::string>, std::string> judge(HANDLE object, const Trusted& who,
                                                             bool* is_protected = nullptr) {
  const std::array<std::string_view, 3> sids = who.sids();
  auto control = outside_control(object, sids, kOwners, is_protected);
  if (!control) return std::unexpected(control.error().display());
  return *control;
}

// A UTC time stamp for a name: 20261207T072900Z.
std::string time_stamp() {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto today = floor<days>(now);
  const year_month_day date(today);
  const hh_mm_ss time(now - today);
  auto two = [](long long value) { return (value < 10 ? "0" : "") + std::to_string(value); };
  return std::to_string(static_cast<int>(date.year())) + two(static_cast<unsigned>(date.month())) +
         two(static_cast<unsigned>(date.day())) + "T" +
         two(static_cast<long long>(time.hours().count())) +
         two(static_cast<long long>(time.minutes().count())) +
         two(static_cast<long long>(time.seconds().count())) + "Z";
}

// Makes `folder` private, or checks the one there; a folder that fails goes aside and a fresh
// one is made.
std::expected<void, std::string> private_folder(const std::string& folder,
                                                const SddlDescriptor& security,
                                                const Trusted& who) {
  SECURITY_ATTRIBUTES attributes = security.attributes();
  if (CreateDirectoryW(to_wide_nul(folder).c_str(), &attributes)) return {};
  if (const DWORD error = GetLastError(); error != ERROR_ALREADY_EXISTS) {
    return std::unexpected(format("{} cannot be made: {}", folder, IoError::from_win32(error)));
  }
  std::optional<std::string> reason;
  {
    // With WRITE_DAC where the caller may change the DACL, so that a folder found sound is made
    // private through the handle it was judged on.
    auto object = open_to_judge(folder, WRITE_DAC);
    if (!object && object.error().os_error() == ERROR_ACCESS_DENIED) object = open_to_judge(folder);
    if (!object) {
      return std::unexpected(format("{} cannot be checked: {}", folder, object.error()));
    }
    bool is_protected = false;
    auto judged = judge(object->get(), who, &is_protected);
    if (!judged) return std::unexpected(format("{} cannot be checked: {}", folder, judged.error()));
    reason = std::move(*judged);
    // Sound now, but whatever is granted above a folder that inherits reaches it: a run that
    // grants the profile folder would open it to its own command.
    if (!reason && !is_protected) {
      if (auto made = security.apply_to(object->get()); !made) {
        reason = format("inherits its entries and cannot be made private ({})", made.error());
      } else {
        log(Level::Info, kTargetMain, "run journal folder {} made private", folder);
      }
    }
  }  // closed before a rename
  if (!reason) return {};
  const std::string aside = format("{}.untrusted-{}", folder, time_stamp());
  if (!MoveFileExW(to_wide_nul(folder).c_str(), to_wide_nul(aside).c_str(), 0)) {
    return std::unexpected(
        format("{} {} and cannot be moved aside: {}", folder, *reason, IoError::from_last_error()));
  }
  log(Level::Warn, kTargetMain, "run journal folder {} {}: moved aside as {}, never read", folder,
      *reason, aside);
  if (!CreateDirectoryW(to_wide_nul(folder).c_str(), &attributes)) {
    return std::unexpected(format("{} cannot be made: {}", folder, IoError::from_last_error()));
  }
  return {};
}

}  // namespace

std::expected<void, std::string> make_private_journal_dir(std::string_view dir) {
  const std::optional<std::string> top = path::parent(dir);
  const std::optional<std::string> base = top ? path::parent(*top) : std::nullopt;
  if (!top || !base || base->empty()) {
    return std::unexpected(format("{} has no folder above it", dir));
  }
  auto who = trusted();
  if (!who) return std::unexpected(who.error());
  // Above the program's own folder, whatever is missing is made as the platform would.
  if (auto made = fs::create_dir_all(*base); !made) {
    return std::unexpected(format("{} cannot be made: {}", *base, made.error()));
  }
  auto security =
      SddlDescriptor::parse(format("D:PAI(A;OICI;FA;;;{})(A;OICI;FA;;;{})(A;OICI;FA;;;{})",
                                   who->user, kSystemSid, kAdministratorsSid));
  if (!security) return std::unexpected(security.error().display());
  // Top down: once one is made here, nobody else can have put anything below it.
  for (const std::string& folder : {*top, std::string(dir)}) {
    if (auto ready = private_folder(folder, *security, *who); !ready) return ready;
  }
  return {};
}

std::optional<std::string> JournalJudge::distrust(HANDLE file) {
  if (!user_) {
    auto who = trusted();
    user_ = who ? std::expected<std::string, std::string>(std::move(who->user))
                : std::unexpected(who.error());
  }
  if (!*user_) return user_->error();
  auto judged = judge(file, Trusted{**user_});
  if (!judged) return format("it cannot be checked: {}", judged.error());
  if (*judged) return "it " + **judged;
  return std::nullopt;
}

}  // namespace tavo
