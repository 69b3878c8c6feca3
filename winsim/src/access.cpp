// Access checks of an unprivileged caller against explicit DACLs.
//
// winsim gives ordinary folders no entries for the user (on the platform the user's own profile
// folders grant it full control), so only a protected object's DACL is taken at its word: there
// the caller gets what the entries grant its token, as the platform evaluates them.
#include "access.h"

#include <algorithm>

#include "host_paths.h"
#include "winsim/kernel.h"
#include "winsim/testing.h"

namespace winsim::detail {
namespace {

// The groups of the user's token besides the user itself: Everyone, Authenticated Users, Users,
// Interactive.
bool in_token(const std::vector<BYTE>& sid) {
  static const std::vector<std::vector<BYTE>> groups = [] {
    std::vector<std::vector<BYTE>> sids;
    for (std::string_view text : {"S-1-1-0", "S-1-5-11", "S-1-5-32-545", "S-1-5-4"})
      sids.push_back(*sid_from_string(text));
    return sids;
  }();
  return sid == *sid_from_string(caller_user()) ||
         std::find(groups.begin(), groups.end(), sid) != groups.end();
}

// The platform's evaluation: the effective entries in order; a deny entry refuses a right still
// wanted, allow entries grant what they name, and what no entry granted is refused.
bool dacl_grants(const Dacl& dacl, ACCESS_MASK wanted) {
  ACCESS_MASK remaining = map_file_generic(wanted);
  for (const Ace& ace : dacl.entries) {
    if (remaining == 0) break;
    if ((ace.flags & INHERIT_ONLY_ACE) || !in_token(ace.sid)) continue;
    const ACCESS_MASK mask = map_file_generic(ace.mask);
    if (ace.type == ACCESS_DENIED_ACE_TYPE) {
      if (mask & remaining) return false;
    } else {
      remaining &= ~mask;
    }
  }
  return remaining == 0;
}

}  // namespace

bool caller_token_holds(const std::vector<BYTE>& sid) {
  static const std::vector<BYTE> administrators = *sid_from_string("S-1-5-32-544");
  return in_token(sid) || (caller_is_admin() && sid == administrators);
}

bool caller_has(const SecuredObject& object, ACCESS_MASK rights) {
  if (caller_is_admin()) return true;
  const Dacl dacl = effective_dacl(object);
  return !dacl.is_protected || dacl_grants(dacl, rights);
}

bool dacl_grants_caller(const SecuredObject& object, ACCESS_MASK rights) {
  const Dacl dacl = effective_dacl(object);
  return dacl.is_protected && dacl_grants(dacl, rights);
}

bool caller_may_delete(const SecuredObject& object) {
  if (caller_has(object, DELETE)) return true;
  return caller_has(SecuredObject{parent_directory(object.key), true}, FILE_DELETE_CHILD);
}

bool caller_may_make(const std::string& host, bool directory) {
  if (caller_is_admin()) return true;
  auto itself = path_itself(host);
  if (!itself) return true;
  return caller_has(SecuredObject{parent_directory(*itself), true},
                    directory ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE);
}

}  // namespace winsim::detail
