// AppContainer profiles (userenv.dll): a registry of names and the SIDs derived from them.
#include <cstring>
#include <map>

#include "internal.h"
#include "sha256.h"
#include "winsim/testing.h"
#include "winsim/userenv.h"

namespace winsim::detail {
namespace {

constexpr std::size_t kMaxName = 64;
constexpr std::size_t kMaxDisplayName = 512;
constexpr std::size_t kMaxDescription = 2048;
constexpr HRESULT kAlreadyExists = static_cast<HRESULT>(0x800700B7);

struct Profile {
  std::string name;  // as created
  std::string sid;   // S-1-15-2-...
};

// Profiles by lower-cased name: names differing only in case are one profile, as their SIDs are
// one SID.
std::map<std::string, Profile>& raw_profiles() {
  static std::map<std::string, Profile> instance;
  return instance;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::map<std::string, Profile>& profiles() {
  static const bool registered = [] {
    register_section(StateSection{
        "profile",
        [](const std::vector<Record>& records) {
          auto& all = raw_profiles();
          all.clear();
          for (const Record& record : records) {
            if (record.size() != 2 || !sid_from_string(record[1])) {
              std::fprintf(stderr, "winsim: ignoring a malformed `profile` record\n");
              continue;
            }
            all[lower(record[0])] = Profile{record[0], record[1]};
          }
        },
        [] {
          std::vector<Record> records;
          for (const auto& [key, profile] : raw_profiles())
            records.push_back({profile.name, profile.sid});
          return records;
        },
        [] { raw_profiles().clear(); },
    });
    return true;
  }();
  (void)registered;
  load_state_once();
  return raw_profiles();
}

// At most 64 characters of letters, digits, '-', '_', '.' and ' '.
bool valid_name(const WCHAR* name) {
  if (name == nullptr) return false;
  std::u16string_view text = view(name);
  if (text.empty() || text.size() > kMaxName) return false;
  for (char16_t c : text) {
    const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                    (c >= u'0' && c <= u'9') || c == u'-' || c == u'_' || c == u'.' || c == u' ';
    if (!ok) return false;
  }
  return true;
}

bool valid_text(const WCHAR* text, std::size_t max) {
  return text != nullptr && view(text).size() <= max;
}

// S-1-15-2 and seven sub-authorities: the first 28 bytes of SHA-256 over the lower-cased name
// in UTF-16LE, read as little-endian 32-bit numbers.
std::string derived_sid(std::u16string_view name) {
  std::vector<BYTE> bytes;
  for (char16_t c : name) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    bytes.push_back(static_cast<BYTE>(c & 0xFF));
    bytes.push_back(static_cast<BYTE>(c >> 8));
  }
  const auto digest = sha256(bytes.data(), bytes.size());
  std::string sid = "S-1-15-2";
  for (int i = 0; i < 7; ++i) {
    const DWORD part = DWORD{digest[4 * i]} | (DWORD{digest[4 * i + 1]} << 8) |
                       (DWORD{digest[4 * i + 2]} << 16) | (DWORD{digest[4 * i + 3]} << 24);
    sid += "-" + std::to_string(part);
  }
  return sid;
}

// The SID in a block the caller releases with FreeSid.
PSID hand_out(const std::string& sid, const char* made_by) {
  const auto binary = sid_from_string(sid).value();
  return copy_sid(binary.data(), binary.size(), Release::FreeSid, made_by);
}

// Exported functions go through the untyped FARPROC, as GetProcAddress hands them out.
template <class Function>
FARPROC exported(Function* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

Exports userenv_exports() {
  return {
      {"CreateAppContainerProfile", exported(&CreateAppContainerProfile)},
      {"DeriveAppContainerSidFromAppContainerName",
       exported(&DeriveAppContainerSidFromAppContainerName)},
      {"DeleteAppContainerProfile", exported(&DeleteAppContainerProfile)},
  };
}

}  // namespace winsim::detail

using namespace winsim::detail;

HRESULT CreateAppContainerProfile(PCWSTR name, PCWSTR display_name, PCWSTR description,
                                  PSID_AND_ATTRIBUTES capabilities, DWORD capability_count,
                                  PSID* sid) {
  if (DWORD error = enter("CreateAppContainerProfile", narrow(name)))
    return HRESULT_FROM_WIN32(error);
  if (!valid_name(name) || !valid_text(display_name, kMaxDisplayName) ||
      !valid_text(description, kMaxDescription) || sid == nullptr ||
      (capability_count > 0 && capabilities == nullptr)) {
    return E_INVALIDARG;
  }
  for (DWORD i = 0; i < capability_count; ++i) {
    if (!sid_is_valid(capabilities[i].Sid)) return E_INVALIDARG;
  }
  StateChange change;  // the check and the insert are one step of the machine
  auto& all = profiles();
  const std::string key = lower(narrow(name));
  if (all.contains(key)) return kAlreadyExists;
  const std::string sid_text = derived_sid(view(name));
  all[key] = Profile{narrow(name), sid_text};  // capabilities are not kept
  if (DWORD error = change.commit()) return HRESULT_FROM_WIN32(error);
  PSID block = hand_out(sid_text, "CreateAppContainerProfile");
  if (block == nullptr) return E_OUTOFMEMORY;
  *sid = block;
  return S_OK;
}

HRESULT DeriveAppContainerSidFromAppContainerName(PCWSTR name, PSID* sid) {
  if (DWORD error = enter("DeriveAppContainerSidFromAppContainerName", narrow(name)))
    return HRESULT_FROM_WIN32(error);
  if (!valid_name(name) || sid == nullptr) return E_INVALIDARG;
  PSID block = hand_out(derived_sid(view(name)), "DeriveAppContainerSidFromAppContainerName");
  if (block == nullptr) return E_OUTOFMEMORY;
  *sid = block;
  return S_OK;
}

HRESULT DeleteAppContainerProfile(PCWSTR name) {
  if (DWORD error = enter("DeleteAppContainerProfile", narrow(name)))
    return HRESULT_FROM_WIN32(error);
  if (!valid_name(name)) return E_INVALIDARG;
  StateChange change;
  // A profile that does not exist is no failure.
  if (profiles().erase(lower(narrow(name))) == 0) return S_OK;
  return HRESULT_FROM_WIN32(change.commit());
}

namespace winsim {

std::vector<std::string> profiles() {
  detail::refresh_state();
  std::vector<std::string> lines;
  for (const auto& [key, profile] : detail::profiles())
    lines.push_back(profile.name + "=" + profile.sid);
  return lines;
}

}  // namespace winsim
