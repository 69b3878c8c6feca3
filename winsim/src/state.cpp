// The machine's persistent state: the WINSIM_STATE file, shared by every process on the
// machine, consecutive or concurrent.
//
// Format: a first line "winsim-state 1", then one record per line, fields separated by one tab,
// the record's name first. Records are written grouped by name in a fixed order.
//
// Concurrency: a change locks $WINSIM_STATE.lock, reloads the file when another process replaced
// it, applies itself and renames a complete new file over the old one, so no change is lost and
// no reader sees half a file. A reader compares the file's identity with the one it last read or
// wrote and reloads when it differs. Nothing holds the lock between two calls: a program that
// reads in one call and writes in the next can lose an update, as it can on Windows.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "internal.h"
#include "winsim/testing.h"

namespace winsim::detail {
namespace {

constexpr std::string_view kHeader = "winsim-state 1";
const std::vector<std::string> kRecordOrder = {"profile", "loopback", "object", "fault"};

// Which file a process read or wrote last. Every write is a rename, so a new inode means a new
// state; size and modification time catch a file that was edited in place.
struct FileIdentity {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  long long mtime_ns = 0;
  bool operator==(const FileIdentity&) const = default;
};

FileIdentity identity_of(const struct stat& st) {
  return FileIdentity{
      true, st.st_dev, st.st_ino, st.st_size,
      static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

std::optional<FileIdentity> identity_at(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return identity_of(st);
  if (errno == ENOENT || errno == ENOTDIR) return FileIdentity{};
  return std::nullopt;  // cannot tell: reload
}

struct State {
  bool loaded = false;
  std::optional<FileIdentity> known;  // the file the sections hold; none: reload at the next call
  std::string known_text;             // that file's text, while `known` is set
  std::vector<StateSection> sections;
  std::map<std::string, std::vector<Record>> unclaimed;  // records of areas not in use yet
};

State& state() {
  static State instance;
  return instance;
}

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    auto tab = line.find('\t', start);
    fields.push_back(
        line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

struct Snapshot {
  std::map<std::string, std::vector<Record>> records;
  FileIdentity identity;
  std::string text;
};

// The records of the file as it is now, with the identity of exactly the file read: a rename by
// another process between a stat and the read cannot mix two states.
Snapshot read_snapshot(const std::string& path) {
  Snapshot snapshot;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return snapshot;  // no file yet: a fresh machine
  struct stat st {};
  if (::fstat(fd, &st) == 0) snapshot.identity = identity_of(st);
  std::string text;
  char buffer[8192];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  snapshot.text = text;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kHeader) {
    if (!text.empty()) {
      std::fprintf(stderr, "winsim: %s is not a winsim state file; starting a fresh machine\n",
                   path.c_str());
    }
    return snapshot;
  }
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    auto fields = split_tabs(line);
    std::string name = fields.front();
    fields.erase(fields.begin());
    snapshot.records[name].push_back(std::move(fields));
  }
  return snapshot;
}

// Replaces every persisted section, the persistent faults and the unclaimed records with the
// snapshot's.
void apply(Snapshot snapshot) {
  State& s = state();
  auto& records = snapshot.records;
  clear_persistent_faults();
  for (const Record& fault : records["fault"]) {
    if (fault.size() == 3) add_persistent_fault(fault[0], fault[1], fault[2]);
    if (fault.size() == 5 && fault[2] == "swap")
      add_swap_fault(fault[0], fault[1], LinkSwap{fault[3], fault[4]});
  }
  records.erase("fault");
  for (const StateSection& section : s.sections) {
    if (section.record.empty()) continue;
    section.load(records[section.record]);
    records.erase(section.record);
  }
  s.unclaimed = std::move(records);
  s.known = snapshot.identity;
  s.known_text = std::move(snapshot.text);
}

std::string render() {
  State& s = state();
  std::map<std::string, std::vector<Record>> all = s.unclaimed;
  for (const StateSection& section : s.sections) {
    if (!section.record.empty()) all[section.record] = section.save();
  }
  all["fault"] = persistent_faults();

  std::vector<std::string> order = kRecordOrder;
  for (const auto& [name, records] : all) {
    if (std::find(order.begin(), order.end(), name) == order.end()) order.push_back(name);
  }
  std::ostringstream out;
  out << kHeader << '\n';
  for (const std::string& name : order) {
    for (const Record& record : all[name]) {
      out << name;
      for (const std::string& field : record)
        out << '\t' << field;
      out << '\n';
    }
  }
  return out.str();
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Puts the file at `temp` in place of the one at `path` in one step. Where the host can, the two
// names are swapped and the caller removes the old state under the temporary name: a plain rename
// over an existing file makes ext4 (and file systems like it) write the new file out and free the
// old one's blocks at once, a disk write per change that an exchange does not cost. `swapped`
// tells whether the old state now lies at `temp`.
bool replace_with(const std::string& temp, const std::string& path, bool& swapped) {
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
    swapped = true;
    return true;
  }
  // No state file yet (ENOENT), or a file system without exchanges: the plain rename.
  return ::rename(temp.c_str(), path.c_str()) == 0;
}

// Writes the whole state beside the file and puts it in place of the file in one step, so a
// reader never sees half a state. The Win32 error of a failed write, or 0.
DWORD write_state(const std::string& path) {
  State& s = state();
  std::string text = render();
  // A change that leaves the machine as the file already holds it (a DACL written again as it
  // stands) has nothing to write; the file and its identity stay, so no process reloads.
  if (s.known && s.known->exists && text == s.known_text) return ERROR_SUCCESS;
  const std::string temp = path + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return win32_error_from_errno(errno, temp);
  const bool written = write_all(fd, text);
  const int write_errno = errno;
  struct stat st {};
  const bool closed = ::fstat(fd, &st) == 0 && ::close(fd) == 0;
  bool swapped = false;
  if (!written || !closed || !replace_with(temp, path, swapped)) {
    const DWORD error = win32_error_from_errno(written ? errno : write_errno, path);
    if (closed == false) ::close(fd);
    ::unlink(temp.c_str());
    return error;
  }
  s.known = identity_of(st);  // a rename keeps the inode and the times
  s.known_text = std::move(text);
  if (swapped) ::unlink(temp.c_str());  // the state as it was, now under the temporary name
  return ERROR_SUCCESS;
}

// The depth of MachineLocks held by this process; only the outermost one locks.
int lock_depth = 0;

}  // namespace

std::string state_path() {
  const char* path = std::getenv("WINSIM_STATE");
  return path == nullptr ? std::string{} : std::string{path};
}

void load_state_once() {
  State& s = state();
  if (s.loaded) return;
  s.loaded = true;
  std::string path = state_path();
  if (path.empty()) return;
  apply(read_snapshot(path));
}

void refresh_state() {
  load_state_once();
  const std::string path = state_path();
  if (path.empty()) return;
  State& s = state();
  const auto now = identity_at(path);
  if (s.known && now && *s.known == *now) return;
  apply(read_snapshot(path));
}

void register_section(StateSection section) {
  load_state_once();
  State& s = state();
  if (!section.record.empty()) {
    auto it = s.unclaimed.find(section.record);
    section.load(it == s.unclaimed.end() ? std::vector<Record>{} : it->second);
    if (it != s.unclaimed.end()) s.unclaimed.erase(it);
  }
  s.sections.push_back(std::move(section));
}

void reset_state() {
  State& s = state();
  for (const StateSection& section : s.sections)
    section.clear();
  s.unclaimed.clear();
  s.loaded = false;
  s.known.reset();
}

MachineLock::MachineLock() {
  const std::string path = state_path();
  if (path.empty()) return;
  counted_ = true;
  if (lock_depth++ > 0) return;
  const std::string lock_path = path + ".lock";
  fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    error_ = win32_error_from_errno(errno, lock_path);
    return;
  }
  int locked;
  do {
    locked = ::flock(fd_, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) error_ = win32_error_from_errno(errno, lock_path);
}

MachineLock::~MachineLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the only descriptor of the lock file unlocks it
  if (counted_) --lock_depth;
}

StateChange::StateChange() {
  if (lock_.error() == 0) {
    refresh_state();
  } else {
    load_state_once();
  }
}

StateChange::~StateChange() {
  if (!committed_) state().known.reset();  // memory may hold a half-made change: reload
}

DWORD StateChange::commit() {
  committed_ = true;
  const std::string path = state_path();
  if (path.empty()) return ERROR_SUCCESS;
  DWORD error = lock_.error();
  if (error == 0) error = write_state(path);
  if (error != 0) state().known.reset();
  return error;
}

void commit_arrangement(StateChange& change, const char* facility) {
  if (DWORD error = change.commit()) {
    std::fprintf(stderr, "winsim::%s: cannot write %s (error %u)\n", facility, state_path().c_str(),
                 static_cast<unsigned>(error));
    std::abort();
  }
}

}  // namespace winsim::detail

namespace winsim {

void reset() {
  detail::reset_handles();
  reset_machine();
  detail::reset_accounting();
}

void reset_machine() {
  detail::reset_state();
  detail::reset_gate();
}

}  // namespace winsim
