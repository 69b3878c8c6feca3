// The call gate: trace, fault injection and last error.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

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
};

struct Gate {
  std::vector<Call> trace;
  std::size_t faultable = 0;
  std::optional<std::size_t> fail_at;  // absolute number of the faultable call to fail
  DWORD fail_at_error = 0;
  std::vector<Fault> faults;
};

Gate& gate() {
  static Gate instance;
  return instance;
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

void record(std::string_view function, std::string_view key, bool faultable) {
  gate().trace.push_back(Call{std::string(function), std::string(key), faultable});
  append_to_trace_file(function, key);
}

}  // namespace

void set_last_error(DWORD error) {
  last_error = error;
}

void note(std::string_view function, std::string_view key) {
  record(function, key, false);
}

DWORD enter(std::string_view function, std::string_view key) {
  refresh_state();
  record(function, key, true);
  Gate& g = gate();
  ++g.faultable;
  if (g.fail_at && *g.fail_at == g.faultable) {
    g.fail_at.reset();
    return g.fail_at_error;
  }
  for (auto it = g.faults.begin(); it != g.faults.end(); ++it) {
    if (it->function != function || key.find(it->key_part) == std::string_view::npos) continue;
    DWORD error = it->error;
    if (it->once) g.faults.erase(it);
    return error;
  }
  return 0;
}

void add_persistent_fault(std::string function, std::string key_part, DWORD error) {
  gate().faults.push_back(Fault{std::move(function), std::move(key_part), error, false});
}

std::vector<Record> persistent_faults() {
  std::vector<Record> out;
  for (const Fault& f : gate().faults) {
    if (!f.once) out.push_back({f.function, f.key_part, std::to_string(f.error)});
  }
  return out;
}

void clear_persistent_faults() {
  auto& faults = gate().faults;
  faults.erase(std::remove_if(faults.begin(), faults.end(), [](const Fault& f) { return !f.once; }),
               faults.end());
}

void reset_gate() {
  gate() = Gate{};
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
  const auto& calls = detail::gate().trace;
  return static_cast<std::size_t>(std::count_if(
      calls.begin(), calls.end(), [&](const Call& c) { return c.function == function; }));
}

std::size_t count_calls(std::string_view function, std::string_view key_part) {
  const auto& calls = detail::gate().trace;
  return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [&](const Call& c) {
    return c.function == function && c.key.find(key_part) != std::string::npos;
  }));
}

void fail_call_number(std::size_t n, DWORD error) {
  auto& g = detail::gate();
  g.fail_at = g.faultable + n;
  g.fail_at_error = error;
}

void fail_next_call(std::string function, std::string key_part, DWORD error) {
  detail::gate().faults.push_back({std::move(function), std::move(key_part), error, true});
}

void fail_every_call(std::string function, std::string key_part, DWORD error) {
  detail::StateChange change;
  detail::add_persistent_fault(std::move(function), std::move(key_part), error);
  detail::commit_arrangement(change, "fail_every_call");
}

void clear_faults() {
  detail::StateChange change;
  auto& g = detail::gate();
  g.faults.clear();
  g.fail_at.reset();
  detail::commit_arrangement(change, "clear_faults");
}

std::size_t faultable_calls() {
  return detail::gate().faultable;
}

}  // namespace winsim
