// The administrative modes with each of their platform calls failed alone: every such run ends
// with a status its mode allows, leaks nothing, leaves no process behind, and reports success only
// when what it promises is there.
#include <gtest/gtest.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <functional>
#include <set>

#include "acl/acl.h"
#include "cleanup.h"
#include "entry.h"
#include "flows/admin_machine.h"
#include "sandbox_profile/profiles.h"
#include "sandbox_profile/registration.h"
#include "support/log_capture.h"

namespace tavo {
namespace {

constexpr std::string_view kSidFile = "C:\\ProgramData\\Tavo\\shared.sid";
constexpr std::string_view kPoolDir = "C:\\ProgramData\\Tavo\\pool";
const std::vector<std::string> kRevoked = {"C:\\work\\a", "C:\\work\\b", "C:\\work\\c"};

class AdminFaultSweep : public testing::AdminMachine {
 protected:
  // Runs `act` once on an arranged machine to learn its faultable calls, then once more for each
  // of them, on a fresh and arranged machine, with that call failing with access denied.
  // `check` gets the status of each of those runs.
  void sweep(const std::function<void()>& arrange, const std::function<int()>& act,
             const std::set<int>& allowed, const std::function<void(int status)>& check) {
    const std::vector<std::string> held = winsim::leaks();
    prepare(arrange);
    std::vector<std::string> calls;
    {
      testing::LogCapture log(Level::Warn);
      const std::size_t first = winsim::trace().size();
      ASSERT_EQ(act(), 0) << log.text();
      for (std::size_t i = first; i < winsim::trace().size(); ++i) {
        if (winsim::trace()[i].faultable) calls.push_back(winsim::trace()[i].function);
      }
    }
    ASSERT_FALSE(calls.empty());
    for (std::size_t n = 1; n <= calls.size(); ++n) {
      SCOPED_TRACE("failing call " + std::to_string(n) + ": " + calls[n - 1]);
      prepare(arrange);
      int status;
      {
        testing::LogCapture log(Level::Warn);
        winsim::fail_call_number(n, ERROR_ACCESS_DENIED);
        status = act();
        winsim::clear_faults();
      }
      EXPECT_TRUE(allowed.contains(status)) << "status " << status;
      EXPECT_EQ(winsim::leaks(), held);
      EXPECT_EQ(winsim::running_processes(), 0u);
      check(status);
    }
  }

 private:
  void prepare(const std::function<void()>& arrange) {
    start_over();
    arrange();
    forget_looked_up_functions();
  }
};

// The profile `name` with read-write grants on the revoked paths; the SID is let go.
void profile_with_grants(std::string_view name) {
  auto sid = ensure_profile(name);
  ASSERT_TRUE(sid);
  for (const std::string& path : kRevoked)
    ASSERT_TRUE(grant_access(sid->get(), path, AccessLevel::ReadWrite));
}

TEST_F(AdminFaultSweep, Cleanup) {
  auto arrange_work = [&] {
    for (const char* dir : {"c/work/a", "c/work/b", "c/work/c"})
      root.make_dir(dir);
  };
  // No entry of the SID may stay where cleanup said it was taken back.
  auto nothing_left = [&](const std::string& sid) {
    for (const std::string& path : kRevoked) {
      EXPECT_EQ(stored(path).find(sid), std::string::npos) << path << ": " << stored(path);
    }
  };

  std::string derived;
  sweep(
      [&] {
        arrange_work();
        profile_with_grants("build-1");
        derived = profile_sid("build-1");
      },
      [] {
        return cleanup({"build-1", kRevoked, std::nullopt});
      },
      {0, 17},
      [&](int status) {
        if (status == 0) nothing_left(derived);
      });

  std::string stable;
  sweep(
      [&] {
        arrange_work();
        profile_with_grants("shared");
        stable = profile_sid("shared");
        root.write("c/ProgramData/shared.sid", stable + "\n");
      },
      [] {
        return cleanup({"shared", kRevoked, "C:\\ProgramData\\shared.sid"});
      },
      {0, 17},
      [&](int status) {
        if (status == 0) nothing_left(stable);
        // A shared profile stays whatever fails.
        EXPECT_EQ(winsim::profiles().size(), 1u);
      });
}

TEST_F(AdminFaultSweep, ProfileRegistration) {
  sweep(
      [&] {
        root.make_dir("c/Users/ann/.ssh");
        root.make_dir("c/Users/ann/.cargo");
      },
      // The operation rather than the whole mode: a failure to print the mode's line on
      // standard output is an internal failure that ends the process.
      [] { return register_sandbox_profile("shared", kSidFile) ? 0 : 13; }, {0, 13},
      [&](int status) {
        // The SID file is written last: it exists, whole, only after a success.
        const bool written = root.exists("c/ProgramData/Tavo/shared.sid");
        EXPECT_EQ(written, status == 0);
        if (status != 0) return;
        const std::string sid = profile_sid("shared");
        EXPECT_EQ(root.read("c/ProgramData/Tavo/shared.sid"), sid + "\n");
        EXPECT_EQ(winsim::loopback_list(), std::vector<std::string>{sid});
      });
}

TEST_F(AdminFaultSweep, PoolRegistration) {
  sweep([&] { root.make_dir("c/Users/ann/.cargo"); },
        [] {
          return run_program({"tavo-sandbox", "--register-pool", "--pool-size", "2", "--pool-dir",
                              std::string(kPoolDir)});
        },
        {0, 13},
        [&](int status) {
          // The marker is written last: it exists only after a success, and then so does
          // every member's SID file and loopback entry.
          const bool marked = root.exists("c/ProgramData/Tavo/pool/.registration-version");
          EXPECT_EQ(marked, status == 0);
          if (status != 0) return;
          const std::vector<std::string> sids = {profile_sid("tavo-sandbox-pool-0"),
                                                 profile_sid("tavo-sandbox-pool-1")};
          EXPECT_EQ(winsim::loopback_list(), sids);
          for (const std::string& sid : sids) {
            EXPECT_EQ(root.read("c/ProgramData/Tavo/pool/" + sid + ".dat"), sid + "\n");
          }
        });
}

}  // namespace
}  // namespace tavo
