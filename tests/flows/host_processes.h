// Host-side helpers for tests that start real processes through winsim.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "win/api.h"

namespace tavo::testing {

// Whether the host process is gone, or a zombie waiting to be reaped, within two seconds.
inline bool host_process_ends_soon(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    if (pid <= 0 || ::kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto close = text.rfind(')');
    if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z')
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// One of this process's standard descriptors pointed at a file while alive.
class RedirectedDescriptor {
 public:
  RedirectedDescriptor(int fd, const std::string& file, int flags) : fd_(fd), saved_(::dup(fd)) {
    std::fflush(nullptr);
    const int target = ::open(file.c_str(), flags | O_CLOEXEC, 0644);
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
  PSID get() { return bytes_.data(); }
  static constexpr const char* kText = "S-1-15-2-1-2-3-4-5-6-7";

 private:
  std::vector<unsigned char> bytes_ = {1, 8, 0, 0, 0, 0, 0, 15, 2, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0,
                                       3, 0, 0, 0, 4, 0, 0, 0,  5, 0, 0, 0, 6, 0, 0, 0, 7, 0, 0, 0};
};

}  // namespace tavo::testing
