// The machine's loopback-exempt list (firewallapi.dll): one machine-wide array of AppContainer
// SIDs with an attributes word each, read as a whole and replaced as a whole.
#include <cstdlib>
#include <cstring>
#include <utility>

#include "internal.h"
#include "winsim/netiso.h"
#include "winsim/testing.h"

namespace winsim::detail {
namespace {

struct Entry {
  std::vector<BYTE> sid;
  DWORD attributes;
};

struct Loopback {
  std::vector<Entry> entries;
  // Writes still to be undone by the simulated concurrent writer.
  std::size_t writes_to_lose = 0;
};

Loopback& storage() {
  static Loopback instance;
  return instance;
}

// The list, with its section of the state file registered at first use.
Loopback& loopback() {
  static const bool registered = [] {
    register_section(StateSection{
        "loopback",
        [](const std::vector<Record>& records) {
          storage().entries.clear();
          for (const Record& record : records) {
            if (record.empty()) continue;
            auto sid = sid_from_string(record[0]);
            if (!sid) continue;
            const DWORD attributes =
                record.size() > 1 ? static_cast<DWORD>(std::strtoul(record[1].c_str(), nullptr, 10))
                                  : 0;
            storage().entries.push_back(Entry{std::move(*sid), attributes});
          }
        },
        [] {
          std::vector<Record> records;
          for (const Entry& e : storage().entries)
            records.push_back({sid_to_string(e.sid.data()), std::to_string(e.attributes)});
          return records;
        },
        [] { storage() = Loopback{}; },
    });
    return true;
  }();
  (void)registered;
  return storage();
}

// Gives back a half-built result of Get when memory runs out. Not the caller's HeapFree, so the
// trace only shows what the program does.
void discard(PSID_AND_ATTRIBUTES array, DWORD filled) {
  for (DWORD i = 0; i < filled; ++i) {
    untrack(array[i].Sid, Release::HeapFree);
    std::free(array[i].Sid);
  }
  untrack(array, Release::HeapFree);
  std::free(array);
}

std::string set_key(DWORD count, const SID_AND_ATTRIBUTES* entries) {
  std::string key = std::to_string(count);
  if (entries == nullptr) return key;
  for (DWORD i = 0; i < count; ++i) {
    key += ' ';
    key += sid_is_valid(entries[i].Sid) ? sid_to_string(entries[i].Sid) : "?";
  }
  return key;
}

}  // namespace

Exports firewallapi_exports() {
  // void (*)() converts to and from every function pointer type without a cast warning.
  auto exported = [](auto* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
  };
  return {
      {"NetworkIsolationGetAppContainerConfig", exported(&NetworkIsolationGetAppContainerConfig)},
      {"NetworkIsolationSetAppContainerConfig", exported(&NetworkIsolationSetAppContainerConfig)},
  };
}

}  // namespace winsim::detail

using namespace winsim::detail;

DWORD NetworkIsolationGetAppContainerConfig(DWORD* count, PSID_AND_ATTRIBUTES* app_containers) {
  if (DWORD error = enter("NetworkIsolationGetAppContainerConfig")) return error;
  if (count == nullptr || app_containers == nullptr) return ERROR_INVALID_PARAMETER;
  const std::vector<Entry>& entries = loopback().entries;
  *count = 0;
  *app_containers = nullptr;
  if (entries.empty()) return ERROR_SUCCESS;  // an empty list comes back without an array

  constexpr std::string_view kMadeBy = "NetworkIsolationGetAppContainerConfig";
  auto* array = static_cast<PSID_AND_ATTRIBUTES>(
      heap_alloc(entries.size() * sizeof(SID_AND_ATTRIBUTES), std::string(kMadeBy)));
  if (array == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  for (DWORD i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    array[i].Sid = copy_sid(e.sid.data(), e.sid.size(), Release::HeapFree, std::string(kMadeBy));
    if (array[i].Sid == nullptr) {
      discard(array, i);
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    array[i].Attributes = e.attributes;
  }
  *count = static_cast<DWORD>(entries.size());
  *app_containers = array;
  return ERROR_SUCCESS;
}

DWORD NetworkIsolationSetAppContainerConfig(DWORD count, PSID_AND_ATTRIBUTES app_containers) {
  if (DWORD error =
          enter("NetworkIsolationSetAppContainerConfig", set_key(count, app_containers))) {
    return error;
  }
  if (!caller_is_admin()) return ERROR_ACCESS_DENIED;
  if (count > 0 && app_containers == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<Entry> written;
  written.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    const PSID sid = app_containers[i].Sid;
    if (!sid_is_valid(sid)) return ERROR_INVALID_PARAMETER;
    const auto* bytes = static_cast<const BYTE*>(sid);
    written.push_back(
        Entry{std::vector<BYTE>(bytes, bytes + sid_length(sid)), app_containers[i].Attributes});
  }
  StateChange change;  // the list is replaced as a whole, in one step of the machine
  Loopback& list = loopback();
  if (list.writes_to_lose > 0) {
    // Another writer replaced the list right after this write, from the list it had read
    // before: ours is gone, theirs stands.
    --list.writes_to_lose;
    return ERROR_SUCCESS;
  }
  list.entries = std::move(written);
  return change.commit();
}

namespace winsim {

void lose_loopback_writes(std::size_t n) {
  detail::load_state_once();
  detail::loopback().writes_to_lose = n;
}

std::vector<std::pair<std::string, DWORD>> loopback_entries() {
  detail::refresh_state();
  std::vector<std::pair<std::string, DWORD>> out;
  for (const auto& e : detail::loopback().entries)
    out.emplace_back(detail::sid_to_string(e.sid.data()), e.attributes);
  return out;
}

std::vector<std::string> loopback_list() {
  std::vector<std::string> out;
  for (auto& [sid, attributes] : loopback_entries())
    out.push_back(std::move(sid));
  return out;
}

void set_loopback_list(const std::vector<std::pair<std::string, DWORD>>& entries) {
  detail::StateChange change;
  std::vector<detail::Entry> list;
  for (const auto& [text, attributes] : entries) {
    auto sid = detail::sid_from_string(text);
    if (!sid) std::abort();  // a test's own mistake
    list.push_back(detail::Entry{std::move(*sid), attributes});
  }
  detail::loopback().entries = std::move(list);
  detail::commit_arrangement(change, "set_loopback_list");
}

}  // namespace winsim
