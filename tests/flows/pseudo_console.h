// A pseudo-terminal standing in for a console: winsim takes a terminal for one, and what the
// program writes to it is read back from the other side.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace tavo::testing {

class PseudoConsole {
 public:
  PseudoConsole() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    EXPECT_GE(master_, 0);
    EXPECT_EQ(::grantpt(master_), 0);
    EXPECT_EQ(::unlockpt(master_), 0);
    device_ = ::ptsname(master_);
  }
  ~PseudoConsole() { ::close(master_); }
  PseudoConsole(const PseudoConsole&) = delete;
  PseudoConsole& operator=(const PseudoConsole&) = delete;

  // The terminal side, to open as a standard descriptor.
  const std::string& device() const { return device_; }

  // Everything written to the terminal side, once nothing holds it open any more (a read of the
  // master fails then, after the data written before).
  std::string written() const {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(master_, buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<std::size_t>(n));
    return text;
  }

 private:
  int master_;
  std::string device_;
};

}  // namespace tavo::testing
