// The security model of files, directories and the NUL device.
//
// Each object stores its explicit entries and its protection flag (the `object` records of the
// state file); an object without a record stores nothing and is unprotected, except the roots
// ("/" and each drive's root) and the NUL device, which start with default DACLs. What an object
// inherits is computed from its parent chain whenever it is read, so a write that propagates
// reaches existing children at once. A write that must not propagate (SetFileSecurityW) freezes
// what the directory passed on before (the `inheritable` records) until a propagating write on
// it or above it.
#include "objects.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "files.h"
#include "host_paths.h"
#include "winsim/testing.h"

namespace winsim::detail {
namespace {

constexpr ACCESS_MASK kFullControl = 0x1F01FF;
constexpr ACCESS_MASK kReadAndExecute = 0x1200A9;
constexpr ACCESS_MASK kGenericReadWrite = 0xC0000000;
constexpr BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

struct Store {
  std::map<std::string, Dacl> stored;          // the `object` records
  std::map<std::string, AceList> inheritable;  // the `inheritable` records
  std::map<std::string, std::string> owners;   // the `owner` records: another principal's SID
};

Store& raw_store() {
  static Store instance;
  return instance;
}

std::vector<Record> save_dacls(const std::map<std::string, Dacl>& dacls) {
  std::vector<Record> records;
  for (const auto& [key, dacl] : dacls)
    records.push_back({key, to_sddl(dacl)});
  return records;
}

std::map<std::string, Dacl> load_dacls(const std::vector<Record>& records, const char* kind) {
  std::map<std::string, Dacl> dacls;
  for (const Record& record : records) {
    auto dacl = record.size() == 2 ? from_sddl(record[1]) : std::nullopt;
    if (!dacl) {
      std::fprintf(stderr, "winsim: ignoring a malformed `%s` record in the state file\n", kind);
      continue;
    }
    dacls[record[0]] = std::move(*dacl);
  }
  return dacls;
}

Store& store() {
  static const bool registered = [] {
    register_section(StateSection{
        "object",
        [](const std::vector<Record>& records) {
          raw_store().stored = load_dacls(records, "object");
        },
        [] { return save_dacls(raw_store().stored); },
        [] { raw_store().stored.clear(); },
    });
    register_section(StateSection{
        "inheritable",
        [](const std::vector<Record>& records) {
          raw_store().inheritable.clear();
          for (auto& [key, dacl] : load_dacls(records, "inheritable"))
            raw_store().inheritable[key] = std::move(dacl.entries);
        },
        [] {
          std::map<std::string, Dacl> dacls;
          for (const auto& [key, entries] : raw_store().inheritable)
            dacls[key] = Dacl{entries, false};
          return save_dacls(dacls);
        },
        [] { raw_store().inheritable.clear(); },
    });
    register_section(StateSection{
        "owner",
        [](const std::vector<Record>& records) {
          raw_store().owners.clear();
          for (const Record& record : records) {
            if (record.size() == 2) raw_store().owners[record[0]] = record[1];
          }
        },
        [] {
          std::vector<Record> records;
          for (const auto& [key, sid] : raw_store().owners)
            records.push_back({key, sid});
          return records;
        },
        [] { raw_store().owners.clear(); },
    });
    return true;
  }();
  (void)registered;
  load_state_once();
  return raw_store();
}

// Objects with nothing above them; their default DACL stands until a write replaces it.
bool is_top(const std::string& key) {
  return key == kNulDevice || is_canonical_root(key);
}

Dacl default_dacl(const std::string& key) {
  if (key == kNulDevice) {
    return Dacl{{make_ace(ACCESS_ALLOWED_ACE_TYPE, 0, kFullControl, "S-1-5-18"),
                 make_ace(ACCESS_ALLOWED_ACE_TYPE, 0, kFullControl, "S-1-5-32-544"),
                 make_ace(ACCESS_ALLOWED_ACE_TYPE, 0, kGenericReadWrite, "S-1-1-0")},
                false};
  }
  if (is_canonical_root(key)) {
    return Dacl{{make_ace(ACCESS_ALLOWED_ACE_TYPE, kInherit, kFullControl, "S-1-5-18"),
                 make_ace(ACCESS_ALLOWED_ACE_TYPE, kInherit, kFullControl, "S-1-5-32-544"),
                 make_ace(ACCESS_ALLOWED_ACE_TYPE, kInherit, kReadAndExecute, "S-1-5-32-545")},
                false};
  }
  return Dacl{};
}

Dacl stored_dacl(const std::string& key) {
  const Store& s = store();
  auto it = s.stored.find(key);
  return it != s.stored.end() ? it->second : default_dacl(key);
}

// What a child receives from one entry of its parent's DACL.
std::optional<Ace> inherited_from(const Ace& parent, bool child_is_directory) {
  const bool objects = (parent.flags & OBJECT_INHERIT_ACE) != 0;
  const bool containers = (parent.flags & CONTAINER_INHERIT_ACE) != 0;
  const bool once = (parent.flags & NO_PROPAGATE_INHERIT_ACE) != 0;
  Ace child = parent;
  if (!child_is_directory) {
    if (!objects) return std::nullopt;
    child.flags = INHERITED_ACE;
  } else if (containers) {
    // Effective on the directory, and passed on further unless propagation stops here.
    child.flags = INHERITED_ACE | (once ? 0 : parent.flags & kInherit);
  } else if (objects && !once) {
    // Not effective on the directory, but kept for the files below it.
    child.flags = INHERITED_ACE | OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE;
  } else {
    return std::nullopt;
  }
  return child;
}

Dacl effective(const std::string& key, bool is_directory);

// The entries a directory passes on to its children, nearest first.
AceList passed_on(const std::string& directory) {
  const Store& s = store();
  auto frozen = s.inheritable.find(directory);
  if (frozen != s.inheritable.end()) return frozen->second;
  return effective(directory, true).entries;
}

Dacl effective(const std::string& key, bool is_directory) {
  Dacl dacl = stored_dacl(key);
  if (dacl.is_protected || is_top(key)) return dacl;
  for (const Ace& parent : passed_on(parent_directory(key))) {
    if (auto child = inherited_from(parent, is_directory)) dacl.entries.push_back(*child);
  }
  return dacl;
}

AceList inheritable_part(const AceList& entries) {
  AceList out;
  for (const Ace& ace : entries) {
    if (ace.flags & kInherit) out.push_back(ace);
  }
  return out;
}

void forget_frozen_below(const std::string& key) {
  auto& frozen = store().inheritable;
  const std::string below = key == "/" ? "/" : key + "/";
  std::erase_if(frozen, [&](const auto& entry) {
    return entry.first == key || entry.first.starts_with(below);
  });
}

void store_dacl(const std::string& key, Dacl dacl) {
  auto& stored = store().stored;
  if (dacl.entries.empty() && !dacl.is_protected && !is_top(key)) {
    stored.erase(key);  // nothing of its own: everything it has is inherited
  } else {
    stored[key] = std::move(dacl);
  }
}

// The record key of a path for the test facilities: the object when it exists, otherwise the
// absolute host path the object would have.
std::optional<std::string> key_for(std::string_view windows_path) {
  const std::u16string wide = widen(windows_path);
  if (is_nul_device(wide)) return std::string(kNulDevice);
  auto host = host_path(wide);
  if (!host) return std::nullopt;
  return canonical_path(*host);
}

bool directory_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::expected<SecuredObject, DWORD> object_at_path(std::u16string_view windows_path) {
  if (is_nul_device(windows_path)) return SecuredObject{std::string(kNulDevice), false};
  auto host = host_path(windows_path);
  if (!host) return std::unexpected(ERROR_PATH_NOT_FOUND);
  auto real = real_path(*host);
  if (!real) return std::unexpected(win32_error_from_errno(errno, *host));
  return SecuredObject{*real, directory_exists(*real)};
}

std::expected<SecuredObject, DWORD> object_of_handle(HANDLE handle) {
  auto file = find_handle_as<FileObject>(handle);
  if (!file) return std::unexpected(ERROR_INVALID_HANDLE);
  if (file->nul_device) return SecuredObject{std::string(kNulDevice), false};
  // A removed object has no name left to key its records by (A: the platform keeps it, delete
  // pending, until its last handle closes, and refuses what needs it with access denied).
  struct stat st {};
  if (::fstat(file->fd, &st) != 0) return std::unexpected(win32_error_from_errno(errno));
  if (st.st_nlink == 0) return std::unexpected(ERROR_ACCESS_DENIED);
  // The descriptor's link names the object itself, even after a rename or after its old name
  // was given to a link.
  auto real = real_path("/proc/self/fd/" + std::to_string(file->fd));
  if (!real) return std::unexpected(win32_error_from_errno(errno));
  return SecuredObject{*real, S_ISDIR(st.st_mode)};
}

std::string handle_key(HANDLE handle) {
  auto file = find_handle_as<FileObject>(handle);
  return file ? file->opened_as : std::string();
}

bool may_change_dacl(const SecuredObject& object) {
  if (caller_is_admin()) return true;
  return !object.is_nul_device() && !store().owners.contains(object.key);
}

void move_object_records(const std::string& from, const std::string& to) {
  auto move_keys = [&](auto& records) {
    auto moved = records;
    moved.clear();
    for (auto& [key, value] : records) {
      const bool below = key == from || key.starts_with(from + "/");
      moved[below ? to + key.substr(from.size()) : key] = std::move(value);
    }
    records = std::move(moved);
  };
  Store& s = store();
  move_keys(s.stored);
  move_keys(s.inheritable);
  move_keys(s.owners);
}

Dacl effective_dacl(const SecuredObject& object) {
  return effective(object.key, object.is_directory);
}

DWORD write_dacl(const SecuredObject& object, const AceList& supplied, Protection protection,
                 Reach reach) {
  StateChange change;  // what the write keeps and freezes depends on the latest machine
  const bool now_protected =
      protection == Protection::Protect ||
      (protection == Protection::Keep && stored_dacl(object.key).is_protected);
  Dacl dacl{{}, now_protected};
  for (const Ace& ace : supplied) {
    if (now_protected || !is_inherited(ace)) dacl.entries.push_back(ace);
  }

  const bool freezes = reach == Reach::ObjectOnly && object.is_directory;
  const bool was_frozen = store().inheritable.contains(object.key);
  const AceList before = freezes ? inheritable_part(passed_on(object.key)) : AceList{};
  store_dacl(object.key, std::move(dacl));

  if (reach == Reach::ObjectAndChildren) {
    forget_frozen_below(object.key);
  } else if (freezes) {
    // The children keep what they had; once the directory passes on the same again, nothing
    // needs to stay frozen.
    const AceList after = inheritable_part(effective(object.key, true).entries);
    if (after == before) {
      store().inheritable.erase(object.key);
    } else if (!was_frozen) {
      store().inheritable[object.key] = before;
    }
  }
  return change.commit();
}

}  // namespace winsim::detail

namespace winsim {

std::string dacl_sddl(std::string_view windows_path) {
  detail::refresh_state();
  auto object = detail::object_at_path(detail::widen(windows_path));
  return object ? detail::to_sddl(detail::effective_dacl(*object)) : std::string{};
}

std::string stored_sddl(std::string_view windows_path) {
  detail::refresh_state();
  auto key = detail::key_for(windows_path);
  if (!key) return {};
  const auto& stored = detail::store().stored;
  auto it = stored.find(*key);
  return it == stored.end() ? std::string{} : detail::to_sddl(it->second);
}

namespace {

// An arrangement the machine cannot hold would let the test prove nothing: the test run ends.
[[noreturn]] void refuse_arrangement(const char* facility, std::string_view value,
                                     std::string_view windows_path) {
  std::fprintf(stderr, "winsim::%s: cannot set \"%.*s\" on \"%.*s\"\n", facility,
               static_cast<int>(value.size()), value.data(), static_cast<int>(windows_path.size()),
               windows_path.data());
  std::abort();
}

}  // namespace

void set_owner(std::string_view windows_path, std::string_view sid) {
  auto key = detail::key_for(windows_path);
  if (!key || (!sid.empty() && !detail::sid_from_string(sid))) {
    refuse_arrangement("set_owner", sid, windows_path);
  }
  detail::StateChange change;
  if (sid.empty()) {
    detail::store().owners.erase(*key);
  } else {
    detail::store().owners[*key] = std::string(sid);
  }
  detail::commit_arrangement(change, "set_owner");
}

void set_stored_sddl(std::string_view windows_path, std::string_view sddl) {
  auto key = detail::key_for(windows_path);
  auto dacl = sddl.empty() ? std::optional<detail::Dacl>(detail::Dacl{}) : detail::from_sddl(sddl);
  if (!key || !dacl) refuse_arrangement("set_stored_sddl", sddl, windows_path);
  detail::StateChange change;
  if (sddl.empty()) {
    detail::store().stored.erase(*key);
  } else {
    detail::store().stored[*key] = std::move(*dacl);
  }
  detail::forget_frozen_below(*key);
  detail::commit_arrangement(change, "set_stored_sddl");
}

}  // namespace winsim
