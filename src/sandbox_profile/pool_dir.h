// The pool directory before a registration writes to it: the administrators' own, or refused.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "win/error.h"

namespace tavo {

// Creates the pool directory and whatever is missing above it as the administrators' folders.
// Every folder that exists already from below %PROGRAMDATA% down to the pool directory (the pool
// directory alone when it lies elsewhere) is checked first, through a handle that does not follow
// a final link: a link, another owner than SYSTEM or Administrators, or a DACL that lets anyone
// else change its entries fails the registration before anything is changed, naming the folder
// and the reason.
std::expected<void, HresultError> prepare_pool_dir(std::string_view pool_dir);

// "<PROGRAMDATA>\Tavo\pool", with "C:\ProgramData" when PROGRAMDATA is unset or not Unicode.
std::string default_pool_dir();

}  // namespace tavo
