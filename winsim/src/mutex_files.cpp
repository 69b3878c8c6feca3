#include "mutex_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "sha256.h"

namespace winsim::detail {
namespace {

constexpr std::string_view kHeldBy = "held by pid ";
// What mark_abandoned leaves. Unlike an owner's mark it survives the mutex being created anew,
// so a test can arrange an abandoned mutex before the program first opens it.
constexpr std::string_view kAbandoned = "abandoned\n";
constexpr auto kPollInterval = std::chrono::milliseconds(2);
// Every mark is written over the whole of this width, padded with spaces, and never truncated:
// a mark changes twice per take of the mutex, and a file cut to nothing and written again makes
// ext4 (and file systems like it) write it out and free its blocks each time.
constexpr std::size_t kMarkWidth = 32;

std::string base_path(const std::string& name) {
  return name_file_path("mutex", name);
}

std::string read_mark(int fd) {
  std::string mark = read_all(fd);
  mark.erase(mark.find_last_not_of(' ') + 1);  // npos + 1: nothing but padding
  return mark;
}

void write_mark(int fd, std::string_view mark) {
  std::string padded(mark);
  padded.resize(std::max(kMarkWidth, padded.size()), ' ');
  [[maybe_unused]] ssize_t written = ::pwrite(fd, padded.data(), padded.size(), 0);
}

DWORD last_host_error(const std::string& path) {
  return win32_error_from_errno(errno, path);
}

}  // namespace

std::expected<MutexFiles::Opened, DWORD> MutexFiles::open(const std::string& name, bool create,
                                                          bool own_if_created,
                                                          const std::string& dacl,
                                                          ACCESS_MASK access) {
  // Whether anyone else has a handle and this process joining them must be one step, or two
  // creators could both find the mutex new.
  MachineLock guard;
  if (DWORD error = guard.error()) return std::unexpected(error);
  auto claimed = claim_name(name, create, NamedKind::Mutex, dacl, access);
  if (!claimed) return std::unexpected(claimed.error());
  const bool alone = claimed->created;
  const std::string base = base_path(name);
  HostDescriptor owner(::open(base.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (owner.get() < 0) return std::unexpected(last_host_error(base));
  if (alone && read_mark(owner.get()).starts_with(kHeldBy)) write_mark(owner.get(), "");
  std::unique_ptr<MutexFiles> files(new MutexFiles(std::move(owner), std::move(claimed->file)));
  // Nobody else has a handle, and nobody can get one before the guard goes: free to take.
  const bool owned =
      alone && own_if_created && flock_retrying(files->owner_.get(), LOCK_EX | LOCK_NB) == 0;
  if (owned) files->take_over();
  return Opened{std::move(files), alone, owned, std::move(claimed->dacl)};
}

std::expected<bool, DWORD> MutexFiles::lock(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    if (flock_retrying(owner_.get(), LOCK_EX) != 0) return std::unexpected(last_host_error({}));
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (true) {
    if (flock_retrying(owner_.get(), LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) return std::unexpected(last_host_error({}));
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(kPollInterval, deadline - now));
  }
}

bool MutexFiles::take_over() {
  const bool abandoned = !read_mark(owner_.get()).empty();
  write_mark(owner_.get(), std::string(kHeldBy) + std::to_string(::getpid()) + "\n");
  return abandoned;
}

void MutexFiles::unlock() {
  write_mark(owner_.get(), "");
  flock_retrying(owner_.get(), LOCK_UN);
}

DWORD MutexFiles::mark_abandoned(const std::string& name) {
  const std::string base = base_path(name);
  HostDescriptor owner(::open(base.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (owner.get() < 0) return last_host_error(base);
  write_mark(owner.get(), kAbandoned);
  return ERROR_SUCCESS;
}

}  // namespace winsim::detail
