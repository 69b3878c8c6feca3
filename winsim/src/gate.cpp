// The call gate: trace, fault injection and last error. A console handler runs on a thread of its
// own while the main thread may be inside a call, so the gate's bookkeeping takes a lock.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "internal.h"
#include "winsim/kernel.h"
#include "winsim/testing.h"

namespace winsim::detail {
namespace {

struct Fault {
  std::string function;
  std::string key_part;
  DWORD error;
  bool once;
  std::optional<std::size_t> die_at;  // a kill at the n-th matching call instead of an error
  std::optional<LinkSwap> swap;       // a folder replaced by a link once the call has returned
};

struct Gate {
  std::mutex lock;
  std::vector<Call> trace;
  std::size_t faultable = 0;
  std::optional<std::size_t> fail_at;  // absolute number of the faultable call to fail
  DWORD fail_at_error = 0;
  std::vector<Fault> faults;
  // Matching calls counted per kill record (function, tab, key part). Kept apart from the records
  // because reloading the state file replaces the records, and the count is this process's own.
  std::map<std::string, std::size_t, std::less<>> die_matches;
  // A swap whose call has been made: carried out when the next call reaches the gate, which is
  // as soon after that call's return as anything outside the process could act.
  std::optional<LinkSwap> pending_swap;
  // Traced calls of this process so far, for WINSIM_DIE_AT_CALL.
  std::size_t calls = 0;
};

Gate& gate() {
  static Gate instance;
  return instance;
}

// "die" or "die:N" (N from 1): the call number at which a kill record ends the process.
std::optional<std::size_t> parse_die(std::string_view text) {
  if (text == "die") return 1;
  if (!text.starts_with("die:")) return std::nullopt;
  std::size_t n = 0;
  const char* first = text.data() + 4;
  const char* last = text.data() + text.size();
  auto [end, error] = std::from_chars(first, last, n);
  if (error != std::errc{} || end != last || first == last || n == 0) return std::nullopt;
  return n;
}

// Ends the process on the spot, as TerminateProcess would: no destructor, no handler and no
// buffer of the program's runs. The trace line of the call is already written.
[[noreturn]] void die_now() {
  ::kill(::getpid(), SIGKILL);
  ::_exit(137);  // not reached: SIGKILL cannot be caught
}

// WINSIM_DIE_AT_CALL: the number of this process's own traced call at which it is killed, so that
// processes sharing one machine can each be killed at a call of their own.
std::optional<std::size_t> own_kill_call() {
  static const std::optional<std::size_t> n = [] {
    const char* text = std::getenv("WINSIM_DIE_AT_CALL");
    return text != nullptr ? parse_die("die:" + std::string(text)) : std::nullopt;
  }();
  return n;
}

// Whether a kill record matching this call has reached its call number, or this process's own
// kill call has come. Called with the gate locked.
bool reaches_kill(Gate& g, std::string_view function, std::string_view key) {
  if (++g.calls == own_kill_call()) return true;
  for (const Fault& f : g.faults) {
    if (!f.die_at || f.function != function || key.find(f.key_part) == std::string_view::npos)
      continue;
    std::string id = f.function + "\t" + f.key_part;
    if (++g.die_matches[id] == *f.die_at) return true;
  }
  return false;
}

thread_local DWORD last_error = 0;

// WINSIM_TRACE names a file that receives one line per call, so that runs of the built binary
// can be traced as well.
void append_to_trace_file(std::string_view function, std::string_view key) {
  const char* path = std::getenv("WINSIM_TRACE");
  if (path == nullptr || *path == '\0') return;
  std::string line;
  line.reserve(function.size() + key.size() + 2);
  line.append(function).append("\t").append(key).append("\n");
  int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] auto written = ::write(fd, line.data(), line.size());
  ::close(fd);
}

void record(Gate& g, std::string_view function, std::string_view key, bool faultable) {
  g.trace.push_back(Call{std::string(function), std::string(key), faultable});
  append_to_trace_file(function, key);
}

bool matches(const Fault& f, std::string_view function, std::string_view key) {
  return f.function == function && key.find(f.key_part) != std::string_view::npos;
}

// Arms the first swap record matching this call; it acts once, so it leaves the records now.
// Called with the gate locked.
void arm_swap(Gate& g, std::string_view function, std::string_view key) {
  if (g.pending_swap) return;
  for (auto it = g.faults.begin(); it != g.faults.end(); ++it) {
    if (!it->swap || !matches(*it, function, key)) continue;
    g.pending_swap = it->swap;
    g.faults.erase(it);
    return;
  }
}

// Carries out an armed swap before the call that follows the one that armed it.
void run_pending_swap() {
  std::optional<LinkSwap> swap;
  {
    Gate& g = gate();
    std::lock_guard hold(g.lock);
    swap = std::exchange(g.pending_swap, std::nullopt);
  }
  if (swap) replace_with_link(*swap);
}

DWORD pass(std::string_view function, std::string_view key) {
  Gate& g = gate();
  std::lock_guard hold(g.lock);
  record(g, function, key, true);
  if (reaches_kill(g, function, key)) die_now();
  arm_swap(g, function, key);
  ++g.faultable;
  if (g.fail_at && *g.fail_at == g.faultable) {
    g.fail_at.reset();
    return g.fail_at_error;
  }
  for (auto it = g.faults.begin(); it != g.faults.end(); ++it) {
    if (it->die_at || it->swap || !matches(*it, function, key)) continue;
    DWORD error = it->error;
    if (it->once) g.faults.erase(it);
    return error;
  }
  return 0;
}

}  // namespace

void set_last_error(DWORD error) {
  last_error = error;
}

void note(std::string_view function, std::string_view key) {
  run_pending_swap();
  load_state_once();  // a process whose first call is a release still meets its kill records
  Gate& g = gate();
  std::lock_guard hold(g.lock);
  record(g, function, key, false);
  // A release can be a kill point too, so that a test can end a process at any traced call.
  if (reaches_kill(g, function, key)) die_now();
}

DWORD enter(std::string_view function, std::string_view key) {
  run_pending_swap();
  refresh_state();
  return pass(function, key);
}

DWORD enter_local(std::string_view function, std::string_view key) {
  run_pending_swap();
  load_state_once();  // the machine's faults, read once; later changes wait for a full call
  return pass(function, key);
}

void add_swap_fault(std::string function, std::string key_part, LinkSwap swap) {
  Gate& g = gate();
  std::lock_guard hold(g.lock);
  g.faults.push_back(
      {std::move(function), std::move(key_part), 0, false, std::nullopt, std::move(swap)});
}

void drop_swap_faults(const LinkSwap& swap) {
  Gate& g = gate();
  std::lock_guard hold(g.lock);
  std::erase_if(g.faults, [&](const Fault& f) { return f.swap == swap; });
}

bool add_persistent_fault(std::string function, std::string key_part, std::string_view error) {
  Fault fault{std::move(function), std::move(key_part), 0, false, parse_die(error), std::nullopt};
  if (!fault.die_at) {
    auto [end, failed] = std::from_chars(error.data(), error.data() + error.size(), fault.error);
    if (failed != std::errc{} || end != error.data() + error.size() || error.empty()) return false;
  }
  Gate& g = gate();
  std::lock_guard hold(g.lock);
  g.faults.push_back(std::move(fault));
  return true;
}

std::vector<Record> persistent_faults() {
  Gate& g = gate();
  std::lock_guard hold(g.lock);
  std::vector<Record> out;
  for (const Fault& f : g.faults) {
    if (f.once) continue;
    if (f.swap) {
      out.push_back({f.function, f.key_part, "swap", f.swap->folder, f.swap->target});
      continue;
    }
    std::string error = !f.die_at        ? std::to_string(f.error)
                        : *f.die_at == 1 ? std::string("die")
                                         : "die:" + std::to_string(*f.die_at);
    out.push_back({f.function, f.key_part, std::move(error)});
  }
  return out;
}

void clear_persistent_faults() {
  Gate& g = gate();
  std::lock_guard hold(g.lock);
  std::erase_if(g.faults, [](const Fault& f) { return !f.once; });
}

void reset_gate() {
  Gate& g = gate();
  std::lock_guard hold(g.lock);
  g.trace.clear();
  g.faultable = 0;
  g.fail_at.reset();
  g.fail_at_error = 0;
  g.faults.clear();
  g.die_matches.clear();
  g.calls = 0;
  g.pending_swap.reset();
  last_error = 0;
}

}  // namespace winsim::detail

DWORD GetLastError() {
  return winsim::detail::last_error;
}
void SetLastError(DWORD error) {
  winsim::detail::last_error = error;
}

namespace winsim {

const std::vector<Call>& trace() {
  return detail::gate().trace;
}

std::size_t count_calls(std::string_view function) {
  std::lock_guard hold(detail::gate().lock);
  const auto& calls = detail::gate().trace;
  return static_cast<std::size_t>(std::count_if(
      calls.begin(), calls.end(), [&](const Call& c) { return c.function == function; }));
}

std::size_t count_calls(std::string_view function, std::string_view key_part) {
  std::lock_guard hold(detail::gate().lock);
  const auto& calls = detail::gate().trace;
  return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [&](const Call& c) {
    return c.function == function && c.key.find(key_part) != std::string::npos;
  }));
}

void fail_call_number(std::size_t n, DWORD error) {
  auto& g = detail::gate();
  std::lock_guard hold(g.lock);
  g.fail_at = g.faultable + n;
  g.fail_at_error = error;
}

void fail_next_call(std::string function, std::string key_part, DWORD error) {
  auto& g = detail::gate();
  std::lock_guard hold(g.lock);
  g.faults.push_back(
      {std::move(function), std::move(key_part), error, true, std::nullopt, std::nullopt});
}

void fail_every_call(std::string function, std::string key_part, DWORD error) {
  detail::StateChange change;
  detail::add_persistent_fault(std::move(function), std::move(key_part), std::to_string(error));
  detail::commit_arrangement(change, "fail_every_call");
}

void replace_with_link_after(std::string function, std::string key_part, std::string folder,
                             std::string target) {
  detail::StateChange change;
  detail::add_swap_fault(std::move(function), std::move(key_part),
                         detail::LinkSwap{std::move(folder), std::move(target)});
  detail::commit_arrangement(change, "replace_with_link_after");
}

void die_at_call(std::string function, std::string key_part, std::size_t n) {
  if (n == 0) n = 1;
  detail::StateChange change;
  detail::add_persistent_fault(std::move(function), std::move(key_part),
                               n == 1 ? std::string("die") : "die:" + std::to_string(n));
  detail::commit_arrangement(change, "die_at_call");
}

void clear_faults() {
  detail::StateChange change;
  {
    auto& g = detail::gate();
    std::lock_guard hold(g.lock);
    g.faults.clear();
    g.fail_at.reset();
  }
  detail::commit_arrangement(change, "clear_faults");
}

std::size_t faultable_calls() {
  auto& g = detail::gate();
  std::lock_guard hold(g.lock);
  return g.faultable;
}

}  // namespace winsim
