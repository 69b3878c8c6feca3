// What tests get from winsim that a real machine cannot give: a fresh machine on demand, the
// trace of platform calls, fault injection and resource accounting.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "winsim/types.h"

namespace winsim {

// The user the machine's caller is: the owner of everything without an owner of record (files a
// test makes on the host included), and the caller's own SID when it is not an administrator.
inline constexpr std::string_view kUserSid = "S-1-5-21-1004336348-1177238915-682003330-1001";

// One platform call as the trace records it: the function and its key argument (a path, a
// name or a SID in string form; empty when the call has none).
struct Call {
  std::string function;
  std::string key;
  bool faultable = true;  // false for release functions and notes, which faults never reach
};

// Gives the process a fresh machine: no profiles, no security records, an empty loopback list,
// no faults, an empty trace and nothing accounted. Standard handles stay usable.
void reset();
// A fresh machine for the rest of a test (state, faults and trace as after reset()), while what
// the test still holds (SIDs, handles, memory) stays accounted and must still be released.
void reset_machine();

// The calls made since the last reset, in order.
const std::vector<Call>& trace();
std::size_t count_calls(std::string_view function);
// The calls of `function` whose key contains `key_part`.
std::size_t count_calls(std::string_view function, std::string_view key_part);

// Fault injection. A faulted call fails the way the platform reports failure for it (a false or
// null result with the error as last error, or the error as return value, or its HRESULT form
// for functions that return HRESULTs). Release functions (CloseHandle, LocalFree, FreeSid,
// HeapFree, FindClose, DeleteProcThreadAttributeList) are never faulted.
//
// Fails the n-th faultable call counted from now (1 = the next one).
void fail_call_number(std::size_t n, DWORD error);
// Fails the next call of `function` whose key argument contains `key_part` (empty: any call).
void fail_next_call(std::string function, std::string key_part, DWORD error);
// Fails every call of `function` whose key contains `key_part`, until cleared.
void fail_every_call(std::string function, std::string key_part, DWORD error);
// Ends this process (SIGKILL to itself, nothing flushed) at the n-th call (from 1) of `function`
// whose key contains `key_part`, release functions included; a `fault` record with `die:N`, so it
// reaches every process on the machine, each counting its own calls. Meant for a child process.
void die_at_call(std::string function, std::string key_part, std::size_t n = 1);
void clear_faults();
// Replaces the folder `folder` by a link to the folder `target` once the next call of `function`
// whose key contains `key_part` has returned, before the process's next call: the original is
// moved aside to `folder` + ".swapped", with its security records, and the link takes its name.
// Both are Windows (or host) paths. A `fault` record, so it reaches every process on the machine;
// it acts once and is gone.
void replace_with_link_after(std::string function, std::string key_part, std::string folder,
                             std::string target);
// Faultable calls made since the last reset: the range a fault sweep walks.
std::size_t faultable_calls();

// Resource accounting. Every allocation, SID and handle that a call hands to its caller must be
// released once, with the function its kind requires.
//
// Resources handed out and not yet released, one description each.
std::vector<std::string> leaks();
// Releases that went wrong: unknown or already released, or released with the wrong function.
std::vector<std::string> release_errors();

// The loopback-exempt list. A concurrent writer: after each of the next n successful writes the
// list is put back as it was before that write (the other writer's list wins).
void lose_loopback_writes(std::size_t n);
// The list's SIDs in string form, in order; with their attributes words.
std::vector<std::string> loopback_list();
std::vector<std::pair<std::string, DWORD>> loopback_entries();
// Replaces the list, as other software would have left it.
void set_loopback_list(const std::vector<std::pair<std::string, DWORD>>& entries);

// Makes the next one to take the named mutex get WAIT_ABANDONED, as though its owner had died
// holding it; for a mutex no one owns. With WINSIM_STATE it reaches the next owner in any process.
void abandon_mutex(std::string_view name);

// Security state. Paths are Windows paths (or host paths, or "NUL"); DACLs are written in the
// state file's notation: "D:", "P" when protected, then "(A;OICI;0x1f01ff;;;S-1-5-18)" per entry.
//
// The object's DACL as the platform's read calls give it: stored entries, then inherited ones.
// "" when the object does not exist.
std::string dacl_sddl(std::string_view windows_path);
// What the state file stores for the object; "" when it stores nothing.
std::string stored_sddl(std::string_view windows_path);
// Arranges what the object stores ("" removes the record). SID aliases (SY, BA, ...) may be used.
void set_stored_sddl(std::string_view windows_path, std::string_view sddl);
// Names `sid` (S-1 form or alias) as the object's owner; "" gives it its default owner again
// (kUserSid; SYSTEM for the roots, C:\ProgramData and the NUL device). An unprivileged caller
// cannot change the DACL of an object the user does not own.
void set_owner(std::string_view windows_path, std::string_view sid);
// The AppContainer profiles, one "NAME=SID" line each, in name order.
std::vector<std::string> profiles();
// The object's owner as the security calls give it, in S-1 form; "" for a missing object.
std::string owner_sid(std::string_view windows_path);

}  // namespace winsim
