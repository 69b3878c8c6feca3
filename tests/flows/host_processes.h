// Host-side helpers for tests that start real processes through winsim: whether a process still
// runs, standard descriptors redirected for a while, and an AppContainer SID.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "win/api.h"

namespace tavo::testing {

// Whether the host process runs: it exists and is not a zombie waiting to be reaped.
inline bool host_process_runs(pid_t pid) {
  if (pid <= 0 || ::kill(pid, 0) != 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z';
}

// A killed process may take a moment to go; this waits up to two seconds for it.
inline bool host_process_ends_soon(pid_t pid) {
  for (int i = 0; i < 200 && host_process_runs(pid); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return !host_process_runs(pid);
}

// One of this process's standard descriptors pointed at a file while alive.
class RedirectedDescriptor {
 public:
  RedirectedDescriptor(int fd, const std::string& file, int flags) : fd_(fd) {
    std::fflush(nullptr);
    saved_ = ::dup(fd);
    int target = ::open(file.c_str(), flags | O_CLOEXEC, 0644);
    ::dup2(target, fd);
    ::close(target);
  }
  ~RedirectedDescriptor() {
    std::fflush(nullptr);
    ::dup2(saved_, fd_);
    ::close(saved_);
  }
  RedirectedDescriptor(const RedirectedDescriptor&) = delete;
  RedirectedDescriptor& operator=(const RedirectedDescriptor&) = delete;

 private:
  int fd_;
  int saved_;
};

// S-1-15-2-1-2-3-4-5-6-7 in binary form, owned by the test: no platform allocation to account.
class AppContainerSid {
 public:
  AppContainerSid() {
    bytes_ = {1, 8, 0, 0, 0, 0, 0, 15};
    for (std::uint32_t part : {2u, 1u, 2u, 3u, 4u, 5u, 6u, 7u}) {
      for (int shift = 0; shift < 32; shift += 8)
        bytes_.push_back(static_cast<unsigned char>(part >> shift));
    }
  }
  PSID get() { return bytes_.data(); }
  static constexpr const char* kText = "S-1-15-2-1-2-3-4-5-6-7";

 private:
  std::vector<unsigned char> bytes_;
};

}  // namespace tavo::testing
