// Reading, editing and writing the DACL of an object held open: the step every edit of the
// program is made of (the object itself is opened and judged as a DaclObject).
#pragma once

#include <expected>
#include <functional>
#include <vector>

#include "acl/ace_list.h"
#include "acl/dacl_change.h"
#include "acl/dacl_lock.h"
#include "acl/dacl_object.h"
#include "win/api.h"
#include "win/error.h"
#include "win/unique.h"

namespace tavo {

inline constexpr SECURITY_INFORMATION kProtectedDacl =
    PROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
inline constexpr SECURITY_INFORMATION kUnprotectedDacl =
    UNPROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// The DACL's control bits that a rewrite of the DACL through a fresh descriptor must carry over
// from the descriptor it read: its protection and its auto-inherited mark.
inline constexpr SECURITY_DESCRIPTOR_CONTROL kKeptDaclControl =
    SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
std::expected<SECURITY_DESCRIPTOR_CONTROL, HresultError> kept_dacl_control(
    PSECURITY_DESCRIPTOR descriptor);

// Which calls an edit reads and writes the DACL with.
enum class DaclCalls {
  // Those that push inheritable entries down to existing children.
  PushedDown,
  // Those that change this one object and nothing below it. A fresh descriptor carries no control
  // bits of its own, and the platform stores those of the descriptor it is given: the write
  // carries over the read one's protection (so that inheritance stays as it was) and its
  // auto-inherited mark (so that the next propagation from above still tells the object's
  // inherited entries from its own).
  ThisObjectOnly,  // never turns inheritance back on
};

using DaclEdit = std::function<void(DaclDraft&)>;
// Told, with the DACL as it was read, just before the write; its failure stops the write.
using BeforeDaclWrite = std::function<std::expected<void, HresultError>(const DaclDraft& read)>;

// Reads the DACL of `object` under the DACL edit lock its caller holds (`held`; never taken
// again here), hands it to `edit`, and writes it back only when the edit changed it: other
// entries, or inheritance turned back on where the DACL was protected. Writing nothing needs no
// right to write. True when it wrote.
std::expected<bool, HresultError> edit_dacl(const DaclObject& object,
                                            const DaclEditLock::Held& held, DaclCalls calls,
                                            const DaclEdit& edit,
                                            const BeforeDaclWrite& before_write = {});

}  // namespace tavo
