// What an unprivileged caller may do to files and directories beyond changing their security:
// make entries in a directory, remove an object, write to a file. Judged against the DACL only
// where it is explicit (the object that decides is protected); elsewhere the user is taken to
// have full control, as on its own folders.
#pragma once

#include <string>

#include "objects.h"

namespace winsim::detail {

// Whether the caller's token holds `sid` (its user, Everyone, Authenticated Users, Users,
// Interactive, and Administrators for an administrator), as a kernel object's DACL is judged.
bool caller_token_holds(const std::vector<BYTE>& sid);
// Whether the caller holds every right of `rights` (generic rights mapped as for files) on the
// object. An administrator holds all; so does the user where the object is not protected.
bool caller_has(const SecuredObject& object, ACCESS_MASK rights);
// Whether the object's DACL is protected and grants the caller every right of `rights`, no deny
// entry refusing one: the test for a right no unprotected object gives the user by default.
bool dacl_grants_caller(const SecuredObject& object, ACCESS_MASK rights);
// Whether the caller may remove the object: DELETE on it, or FILE_DELETE_CHILD on its directory.
bool caller_may_delete(const SecuredObject& object);
// Whether the caller may make a file (or a subdirectory) as `host` names it: FILE_ADD_FILE (or
// FILE_ADD_SUBDIRECTORY) on the directory that would hold it. True when that directory is
// missing, so that the call fails as the host makes it fail.
bool caller_may_make(const std::string& host, bool directory);

}  // namespace winsim::detail
