// The security model of files, directories and the NUL device.
//
// Each object stores its explicit entries and its protection flag (the `object` records of the
// state file) and has an owner (the `owner` records); an object without a record stores nothing,
// is unprotected and is the user's, except the roots ("/" and each drive's root), C:\ProgramData
// and the NUL device, which start with default DACLs and SYSTEM as their owner. What an object
// inherits is computed from its parent chain whenever it is read, so a write that propagates
// reaches existing children at once. A write that must not propagate (SetFileSecurityW) freezes
// what the directory passed on before (the `inheritable` records) until a propagating write on
// it or above it. Two marks complete an object's record: a DACL without SE_DACL_AUTO_INHERITED
// (`not_auto_inherited`), and a DACL given at creation, which inherits nothing until a
// propagating write on it or above it (`inherits_nothing`).
#include "objects.h"

#include "access.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "files.h"
#include "host_paths.h"
#include "winsim/kernel.h"
#include "winsim/testing.h"

namespace winsim::detail {
namespace {

constexpr ACCESS_MASK kFullControl = 0x1F01FF;
constexpr ACCESS_MASK kReadAndExecute = 0x1200A9;
constexpr ACCESS_MASK kGenericReadWrite = 0xC0000000;
// Create files and folders, write attributes and extended attributes.
constexpr ACCESS_MASK kCreateAndWriteAttributes = 0x116;
constexpr BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

struct Store {
  std::map<std::string, Dacl> stored;          // the `object` records
  std::map<std::string, AceList> inheritable;  // the `inheritable` records
  std::map<std::string, std::string> owners;   // the `owner` records: SIDs in S-1 form
  std::set<std::string> not_auto_inherited;    // the `not_auto_inherited` records
  std::set<std::string> inherits_nothing;      // the `inherits_nothing` records
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

// A section of paths alone, one record each.
StateSection path_section(const char* kind, std::set<std::string> Store::*paths) {
  return StateSection{
      kind,
      [kind, paths](const std::vector<Record>& records) {
        (raw_store().*paths).clear();
        for (const Record& record : records) {
          if (record.size() != 1) {
            std::fprintf(stderr, "winsim: ignoring a malformed `%s` record in the state file\n",
                         kind);
            continue;
          }
          (raw_store().*paths).insert(record[0]);
        }
      },
      [paths] {
        std::vector<Record> records;
        for (const std::string& key : raw_store().*paths)
          records.push_back({key});
        return records;
      },
      [paths] { (raw_store().*paths).clear(); },
  };
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
            auto sid = record.size() == 2 ? sid_from_string(record[1]) : std::nullopt;
            if (!sid) {
              std::fprintf(stderr,
                           "winsim: ignoring a malformed `owner` record in the state file\n");
              continue;
            }
            raw_store().owners[record[0]] = sid_to_string(sid->data());
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
    register_section(path_section("not_auto_inherited", &Store::not_auto_inherited));
    register_section(path_section("inherits_nothing", &Store::inherits_nothing));
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

// Objects that start with a DACL of their own: the tops, and C:\ProgramData, which the system
// sets up protected.
bool has_default(const std::string& key) {
  return is_top(key) || is_program_data(key);
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
  if (is_program_data(key)) {
    // Users may make folders and files there, and whoever makes one has full control of it.
    return Dacl{{make_ace(ACCESS_ALLOWED_ACE_TYPE, kInherit | INHERIT_ONLY_ACE, GENERIC_ALL,
                          kCreatorOwnerSid),
                 make_ace(ACCESS_ALLOWED_ACE_TYPE, kInherit, kFullControl, "S-1-5-18"),
                 make_ace(ACCESS_ALLOWED_ACE_TYPE, kInherit, kFullControl, "S-1-5-32-544"),
                 make_ace(ACCESS_ALLOWED_ACE_TYPE, kInherit, kReadAndExecute, "S-1-5-32-545"),
                 make_ace(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, kCreateAndWriteAttributes,
                          "S-1-5-32-545")},
                true};
  }
  return Dacl{};
}

std::string default_owner(const std::string& key) {
  return std::string(has_default(key) ? kSystemSid : winsim::kUserSid);
}

std::string owner_of_key(const std::string& key) {
  const auto& owners = store().owners;
  auto it = owners.find(key);
  return it != owners.end() ? it->second : default_owner(key);
}

// An owner equal to the object's default needs no record.
void record_owner(const std::string& key, const std::string& sid) {
  if (sid == default_owner(key)) {
    store().owners.erase(key);
  } else {
    store().owners[key] = sid;
  }
}

bool at_or_below(const std::string& key, const std::string& top) {
  return key == top || key.starts_with(top == "/" ? top : top + "/");
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

const std::vector<BYTE>& creator_owner_sid() {
  static const std::vector<BYTE> sid = *sid_from_string(kCreatorOwnerSid);
  return sid;
}

bool has_generic_rights(ACCESS_MASK mask) {
  return map_file_generic(mask) != mask;
}

// What a child receives from one entry of its parent. Where the copy is effective its generic
// rights are mapped, and an entry for CREATOR OWNER becomes one for the child's owner; a copy
// that needs either change and is passed on further splits in two, the effective one and an
// inherit-only one as the parent had it, so that the generic rights and CREATOR OWNER reach the
// grandchildren (D: "ACE inheritance rules"; V: Wine's test_CreateDirectoryA).
void inherit_entry(AceList& out, const Ace& parent, bool child_is_directory,
                   const std::vector<BYTE>& owner) {
  const std::vector<BYTE>& creator_owner = creator_owner_sid();
  auto child = inherited_from(parent, child_is_directory);
  if (!child) return;
  const bool for_owner = parent.sid == creator_owner;
  if (!for_owner && !has_generic_rights(child->mask)) {
    out.push_back(std::move(*child));
    return;
  }
  if (!(child->flags & INHERIT_ONLY_ACE)) {
    out.push_back(Ace{child->type, INHERITED_ACE, map_file_generic(child->mask),
                      for_owner ? owner : child->sid});
  }
  if (const BYTE onward = child->flags & kInherit) {
    out.push_back(Ace{child->type, static_cast<BYTE>(INHERITED_ACE | INHERIT_ONLY_ACE | onward),
                      child->mask, child->sid});
  }
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
  if (dacl.is_protected || is_top(key) || store().inherits_nothing.contains(key)) return dacl;
  const AceList parents = passed_on(parent_directory(key));
  // The owner is looked up only for a CREATOR OWNER entry, which is rare.
  const bool for_owner = std::any_of(parents.begin(), parents.end(),
                                     [](const Ace& ace) { return ace.sid == creator_owner_sid(); });
  const std::vector<BYTE> owner =
      for_owner ? *sid_from_string(owner_of_key(key)) : std::vector<BYTE>{};
  for (const Ace& parent : parents)
    inherit_entry(dacl.entries, parent, is_directory, owner);
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
  std::erase_if(store().inheritable,
                [&](const auto& entry) { return at_or_below(entry.first, key); });
}

void store_dacl(const std::string& key, Dacl dacl) {
  auto& stored = store().stored;
  if (dacl.entries.empty() && !dacl.is_protected && !has_default(key)) {
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

std::expected<SecuredObject, DWORD> object_itself(const std::string& host) {
  struct stat st {};
  if (::lstat(host.c_str(), &st) != 0) return std::unexpected(win32_error_from_errno(errno, host));
  // A link is an object of its own, known by its unresolved path; it counts as a directory when
  // it names one, as a directory's reparse point is one.
  auto key = S_ISLNK(st.st_mode) ? path_itself(host) : real_path(host);
  if (!key) return std::unexpected(win32_error_from_errno(errno, host));
  return SecuredObject{*key, directory_exists(host)};
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
  auto real = current_path(*file);
  if (!real) return std::unexpected(win32_error_from_errno(errno));
  return SecuredObject{*real, file->is_link ? directory_exists(*real) : S_ISDIR(st.st_mode)};
}

std::string handle_key(HANDLE handle) {
  auto file = find_handle_as<FileObject>(handle);
  return file ? file->opened_as : std::string();
}

std::string owner_of(const SecuredObject& object) {
  return owner_of_key(object.key);
}

std::string creator_owner() {
  return caller_is_admin() ? std::string(kAdministratorsSid) : caller_user();
}

bool may_assign_owner(std::string_view sid) {
  return caller_is_admin() || sid == caller_user();
}

bool may_change_dacl(const SecuredObject& object, ACCESS_MASK rights) {
  if (caller_is_admin()) return true;
  if (object.is_nul_device()) return false;
  // The owner's implicit right, which no entry of the DACL takes away.
  if (owner_of(object) == caller_user()) return true;
  return dacl_grants_caller(object, rights);
}

void move_object_records(const std::string& from, const std::string& to) {
  auto move_keys = [&](auto& records) {
    std::erase_if(records, [&](const auto& entry) { return at_or_below(entry.first, to); });
    auto moved = records;
    moved.clear();
    for (auto& [key, value] : records) {
      moved[at_or_below(key, from) ? to + key.substr(from.size()) : key] = std::move(value);
    }
    records = std::move(moved);
  };
  auto move_paths = [&](std::set<std::string>& paths) {
    std::set<std::string> moved;
    for (const std::string& key : paths) {
      if (at_or_below(key, from)) {
        moved.insert(to + key.substr(from.size()));
      } else if (!at_or_below(key, to)) {
        moved.insert(key);
      }
    }
    paths = std::move(moved);
  };
  Store& s = store();
  move_keys(s.stored);
  move_keys(s.inheritable);
  move_keys(s.owners);
  move_paths(s.not_auto_inherited);
  move_paths(s.inherits_nothing);
}

DWORD carry_object_records(const std::string& from, const std::string& to) {
  if (from == to) return ERROR_SUCCESS;
  auto touches = [&](const auto& records) {
    return std::any_of(records.begin(), records.end(), [&](const auto& entry) {
      return at_or_below(entry.first, from) || at_or_below(entry.first, to);
    });
  };
  auto touches_paths = [&](const std::set<std::string>& paths) {
    return std::any_of(paths.begin(), paths.end(), [&](const std::string& key) {
      return at_or_below(key, from) || at_or_below(key, to);
    });
  };
  const Store& s = store();
  if (!touches(s.stored) && !touches(s.inheritable) && !touches(s.owners) &&
      !touches_paths(s.not_auto_inherited) && !touches_paths(s.inherits_nothing))
    return ERROR_SUCCESS;
  StateChange change;
  move_object_records(from, to);
  return change.commit();
}

DWORD forget_object_records(const std::string& key) {
  const Store& seen = store();
  if (!seen.stored.contains(key) && !seen.inheritable.contains(key) && !seen.owners.contains(key) &&
      !seen.not_auto_inherited.contains(key) && !seen.inherits_nothing.contains(key))
    return ERROR_SUCCESS;
  StateChange change;
  Store& s = store();
  s.stored.erase(key);
  s.inheritable.erase(key);
  s.owners.erase(key);
  s.not_auto_inherited.erase(key);
  s.inherits_nothing.erase(key);
  return change.commit();
}

Dacl effective_dacl(const SecuredObject& object) {
  return effective(object.key, object.is_directory);
}

namespace {

void apply_dacl(const SecuredObject& object, const AceList& supplied, Protection protection,
                Reach reach) {
  const bool now_protected =
      protection == Protection::Protect ||
      (protection == Protection::Keep && stored_dacl(object.key).is_protected);
  Dacl dacl{{}, now_protected};
  for (Ace ace : supplied) {
    if (!now_protected && is_inherited(ace)) continue;
    // What the platform stores is the specific rights that generic ones stand for, except in an
    // entry that only passes on (V: Wine's test_GetNamedSecurityInfoA, test_CreateDirectoryA).
    if (!(ace.flags & INHERIT_ONLY_ACE)) ace.mask = map_file_generic(ace.mask);
    dacl.entries.push_back(std::move(ace));
  }

  const bool freezes = reach == Reach::ObjectOnly && object.is_directory;
  const bool was_frozen = store().inheritable.contains(object.key);
  const AceList before = freezes ? inheritable_part(passed_on(object.key)) : AceList{};
  store_dacl(object.key, std::move(dacl));

  if (reach == Reach::ObjectAndChildren) {
    // Propagation rewrites the object's and its children's DACLs as auto-inherited ones.
    forget_frozen_below(object.key);
    for (std::set<std::string>* marks : {&store().not_auto_inherited, &store().inherits_nothing})
      std::erase_if(*marks, [&](const std::string& key) { return at_or_below(key, object.key); });
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
}

}  // namespace

DWORD write_security(const SecuredObject& object, const SecurityWrite& write, Reach reach) {
  StateChange change;  // what the write keeps and freezes depends on the latest machine
  if (write.owner) record_owner(object.key, *write.owner);
  if (write.dacl) {
    apply_dacl(object, *write.dacl, write.protection, reach);
    Store& s = store();
    if (write.auto_inherited) {
      s.not_auto_inherited.erase(object.key);
    } else {
      s.not_auto_inherited.insert(object.key);
    }
    if (write.inherits_nothing && !stored_dacl(object.key).is_protected)
      s.inherits_nothing.insert(object.key);
  }
  return change.commit();
}

bool is_auto_inherited(const SecuredObject& object) {
  return !store().not_auto_inherited.contains(object.key);
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
  auto binary = sid.empty() ? std::nullopt : detail::sid_from_string(sid);
  if (!key || (!sid.empty() && !binary)) refuse_arrangement("set_owner", sid, windows_path);
  detail::StateChange change;
  if (sid.empty()) {
    detail::store().owners.erase(*key);
  } else {
    detail::record_owner(*key, detail::sid_to_string(binary->data()));
  }
  detail::commit_arrangement(change, "set_owner");
}

std::string owner_sid(std::string_view windows_path) {
  detail::refresh_state();
  auto object = detail::object_at_path(detail::widen(windows_path));
  return object ? detail::owner_of(*object) : std::string{};
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
