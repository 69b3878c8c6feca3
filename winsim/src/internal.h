// Shared machinery of winsim's areas: the call gate (trace and faults), last error, text
// conversion, resource accounting, the handle table, path mapping and the persisted state.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/types.h"

namespace winsim::detail {

// ---- The call gate ---------------------------------------------------------------------------

// Every exported function except the release functions starts with enter(): the call goes into
// the trace and fault injection may tell it to fail. The result is the Win32 error to fail
// with, or 0 to go on.
DWORD enter(std::string_view function, std::string_view key = {});
// Release functions only note themselves in the trace (a kill record reaches them too).
void note(std::string_view function, std::string_view key = {});
// enter() without reloading the state file: for calls on this process's own objects (events,
// waits, process identity), which read nothing persisted. A console handler's thread makes such
// calls while the main thread may be inside another call, and a reload would replace the
// machine's sections under that call.
DWORD enter_local(std::string_view function, std::string_view key = {});

void set_last_error(DWORD error);

// Faults that stay until cleared: the `fault` records of the state file. `error` is the record's
// field: a decimal Win32 error, or `die` / `die:N` for a kill at the first / N-th matching call.
// False (and nothing added) for a field of neither form.
bool add_persistent_fault(std::string function, std::string key_part, std::string_view error);
// A `fault` record of the form FUNCTION TEXT swap FOLDER TARGET: once a matching call has
// returned, FOLDER is replaced by a link to TARGET (both Windows or host paths).
struct LinkSwap {
  std::string folder;
  std::string target;
  bool operator==(const LinkSwap&) const = default;
};
void add_swap_fault(std::string function, std::string key_part, LinkSwap swap);
// Forgets the records of this swap, once it has acted.
void drop_swap_faults(const LinkSwap& swap);
// Carries the swap out: the folder moves aside to FOLDER.swapped with its security records, and
// a link to TARGET takes its name. One state change; a swap that cannot be made ends the test
// run, as a broken arrangement would prove nothing.
void replace_with_link(const LinkSwap& swap);
// Function, key part, error field; or function, key part, "swap", folder, target.
std::vector<std::vector<std::string>> persistent_faults();
void clear_persistent_faults();
void reset_gate();

// Sets the last error and returns `result`: `return fail(ERROR_ACCESS_DENIED, FALSE);`
template <class T>
T fail(DWORD error, T result) {
  set_last_error(error);
  return result;
}

// ---- Text ------------------------------------------------------------------------------------

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string narrow(std::u16string_view text);
std::string narrow(const WCHAR* text);  // null gives ""
// UTF-8 to UTF-16. A byte that is not part of valid UTF-8 becomes the lone surrogate
// U+DC00 + byte, so host text that is not Unicode stays recognisable as such.
std::u16string widen(std::string_view text);
std::u16string_view view(const WCHAR* text);  // null gives ""
// UTF-16 to host bytes (environment values, paths): the inverse of widen, so a lone surrogate
// U+DC80..U+DCFF gives back its byte; other unpaired surrogates become U+FFFD.
std::string to_host(std::u16string_view text);

// ---- Resource accounting ---------------------------------------------------------------------

enum class Release { LocalFree, FreeSid, HeapFree, CloseHandle, FindClose, DeleteAttributeList };
std::string_view release_name(Release how);

// Records that `resource` was handed out by `made_by` and must be released with `how`.
void track(const void* resource, Release how, std::string made_by);
// Records the release of `resource` with `how`. Returns false, after noting a release error,
// when the resource is unknown (never handed out, or released already). A resource released
// with the wrong function is noted as an error but counts as released.
bool untrack(const void* resource, Release how);
void reset_accounting();

// LocalAlloc with accounting: the block must go back through LocalFree.
void* local_alloc(std::size_t bytes, bool zero, std::string made_by);
// A zero-filled block of the process heap, to be released with HeapFree.
void* heap_alloc(std::size_t bytes, std::string made_by);

// ---- Handles ---------------------------------------------------------------------------------

struct HandleObject {
  virtual ~HandleObject() = default;
  virtual std::string_view kind() const = 0;
  // The host file descriptor behind the handle, or -1.
  virtual int host_fd() const { return -1; }
};

// Puts `object` into the handle table and accounts it for release with `how`. A child process
// can be given the handle only when it is inheritable.
HANDLE add_handle(std::shared_ptr<HandleObject> object, Release how, std::string made_by,
                  bool inheritable = false);
// Whether an open handle (standard handles included) is inheritable; false for any other value.
bool is_inheritable(HANDLE handle);
// The object behind an open handle, or null. Standard handles resolve too.
std::shared_ptr<HandleObject> find_handle(HANDLE handle);
// Every object this process holds a handle to, once per handle (standard handles left out).
std::vector<std::shared_ptr<HandleObject>> open_objects();
template <class T>
std::shared_ptr<T> find_handle_as(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(find_handle(handle));
}
// Removes a handle from the table. False when it was not open.
bool remove_handle(HANDLE handle, Release how);
void reset_handles();

// ---- Paths -----------------------------------------------------------------------------------

// The components of what follows a path's root, normalised as Win32 does before any object is
// looked up: '/' and '\' separate, empty and "." components go, ".." takes away the component
// before it (on the text, before any link is followed) and never the root, and trailing dots and
// spaces are trimmed (see path_normalisation.cpp). A relative path keeps the ".." it begins with.
struct NormalisedPath {
  std::vector<std::u16string> components;
  bool trailing_separator = false;
};
NormalisedPath normalise_components(std::u16string_view rest, bool relative);

// The host path that a Windows path names. A `\\.\` prefix is dropped and the rest normalised
// (normalise_components); a `\\?\` prefix is dropped and the rest taken as it is. A drive path
// X:\... maps to $WINSIM_ROOT/x/... . Null when the path names a drive and WINSIM_ROOT is unset,
// or uses a form winsim does not model (UNC shares).
std::optional<std::string> host_path(std::u16string_view windows_path);
// The Windows form of an absolute host path: X:\... below a mapped drive, the host path as it
// is otherwise.
std::string windows_form(std::string_view host_absolute);
// True for "/" and for the directory of a mapped drive's root ($WINSIM_ROOT/x).
bool is_host_root(std::string_view host);
// True for the NUL device's names: NUL and \\.\NUL, in any case.
bool is_nul_device(std::u16string_view windows_path);
// The Win32 error that Windows gives where the host gave `errno_value` for `host_path`
// (a missing file is 2 when its directory exists and 3 when it does not).
DWORD win32_error_from_errno(int errno_value, std::string_view host_path = {});

// ---- SIDs ------------------------------------------------------------------------------------

// The binary SID of an "S-1-..." string (or a few SDDL aliases: SY, BA, BU, WD, AC); nothing
// when the text is not a SID.
std::optional<std::vector<BYTE>> sid_from_string(std::string_view text);
// "S-1-..." for a valid binary SID.
std::string sid_to_string(const void* sid);
bool sid_is_valid(const void* sid);
std::size_t sid_length(const void* sid);
// A copy of `sid` in a new block accounted for release with `how` (LocalFree, FreeSid, HeapFree).
void* copy_sid(const void* sid, std::size_t length, Release how, std::string made_by);

// ---- Modules ---------------------------------------------------------------------------------

// The functions that GetProcAddress finds in the DLLs the program loads at run time.
using Exports = std::map<std::string, FARPROC, std::less<>>;
Exports userenv_exports();      // profiles.cpp
Exports firewallapi_exports();  // loopback.cpp

// ---- Privilege -------------------------------------------------------------------------------

// The caller is an administrator unless WINSIM_ADMIN=0.
bool caller_is_admin();
// The user the caller runs as: the SID WINSIM_USER names, or the machine's first user
// (winsim::kUserSid) without it or when it names no SID.
std::string caller_user();

// ---- Persisted machine state -----------------------------------------------------------------

// One kind of record of the state file (`profile`, `loopback`, `object`, ...). An area registers
// its section at first use; records read before that are handed over at registration. A section
// with an empty record name is not persisted; its clear() still runs when tests reset the
// machine (processes, for example).
using Record = std::vector<std::string>;  // the fields after the record name
struct StateSection {
  std::string record;
  std::function<void(const std::vector<Record>&)> load;  // replaces the area's state
  std::function<std::vector<Record>()> save;             // the area's records, in order
  std::function<void()> clear;                           // back to a fresh machine
};
void register_section(StateSection section);
// Loads WINSIM_STATE once per fresh machine. The areas' accessors call it so that a section
// registered late still starts from the file.
void load_state_once();
// Brings the persisted sections up to date when another process changed WINSIM_STATE since this
// one last read or wrote it. enter() calls it, so every call starts from the latest machine; the
// sections without a record name (processes, handles) and the one-shot faults are left alone.
void refresh_state();
void reset_state();
// The WINSIM_STATE path; "" for a machine that lives in this process only.
std::string state_path();

// An exclusive lock on the file beside WINSIM_STATE ($WINSIM_STATE.lock), shared by every
// process on the machine. Nested locks in one process share the outermost one. Without
// WINSIM_STATE it locks nothing.
class MachineLock {
 public:
  MachineLock();
  ~MachineLock();
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;
  // The Win32 error of a lock that could not be taken, or 0.
  DWORD error() const { return error_; }

 private:
  int fd_ = -1;           // open in the outermost lock only
  bool counted_ = false;  // part of this process's nesting
  DWORD error_ = 0;
};

// One atomic change of the persisted machine. Taken before the change reads anything: it locks
// the machine and reloads what other processes wrote. commit() writes the whole state and
// records the file it wrote; a change dropped without commit() writes nothing. The caller
// changes the sections only between the two, so a failed call leaves the machine as it was.
class StateChange {
 public:
  StateChange();
  ~StateChange();
  StateChange(const StateChange&) = delete;
  StateChange& operator=(const StateChange&) = delete;
  // Writes the state file (nothing to do without WINSIM_STATE). The Win32 error of a lock or
  // write that failed, or 0; after a failure the sections are reloaded from the file at the next
  // call, so memory never claims a change the machine does not hold.
  DWORD commit();

 private:
  MachineLock lock_;
  bool committed_ = false;
};
// Commits a change a test facility arranged; a machine that cannot hold the arrangement ends the
// test run, as a broken arrangement would prove nothing.
void commit_arrangement(StateChange& change, const char* facility);

}  // namespace winsim::detail
