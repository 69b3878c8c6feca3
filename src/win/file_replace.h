// Replacing a file in a held folder the way a careful installer does: never through a link, never
// leaving a file cut short.
#pragma once

#include <expected>
#include <string_view>

#include "win/error.h"
#include "win/held_folder.h"
#include "win/security_descriptor.h"

namespace tavo::fs {

// Puts `bytes` under `name` in `folder` as a file born with `security`. A new file with a unique
// name is created in the folder (CREATE_NEW, so never through a link), checked on its handle to
// lie in the held folder, written and flushed, then renamed through its own handle over `name`
// relative to the folder's handle. Whatever stood at `name` (a file, a link, a hard link to
// another file) is replaced, never written through; on failure it stays as it was and the new
// file is removed.
std::expected<void, IoError> replace_file_in(const HeldFolder& folder, std::string_view name,
                                             std::string_view bytes,
                                             const SddlDescriptor& security);

}  // namespace tavo::fs
