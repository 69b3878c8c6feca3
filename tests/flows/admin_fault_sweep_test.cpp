// Each platform call of the administrative modes failed alone: what a reported success promises
// holds, and a failure leaves nothing half made.
#include <functional>
#include <ranges>

#include "cleanup.h"
#include "flows/admin_machine.h"
#include "sandbox_profile/exempt_list.h"
#include "sandbox_profile/registration.h"
#include "support/faults.h"

namespace tavo {
namespace {

class AdminFaultSweep : public AdminMachine {
 protected:
  // Runs `act` once on an arranged machine to learn its faultable calls, then once more for each,
  // on a fresh and arranged machine, with that call failing with access denied. `check` gets the
  // status of each of those runs, which must be 0 or `failure`, and the failed call's function
  // and key.
  void sweep(const std::function<void()>& arrange, const std::function<int()>& act, int failure,
             const std::function<void(int status, const std::string& call)>& check) {
    const std::vector<std::string> held = winsim::leaks();
    const auto prepare = [&] {
      start_over();
      arrange();
      // The profile and network-isolation functions are looked up again: the same calls each time.
      forget_profile_functions();
      forget_network_isolation_functions();
    };
    prepare();
    const std::size_t first = winsim::faultable_calls();
    ASSERT_EQ(act(), 0);
    const std::vector<std::string> keys = testing::faultable_calls(first);
    for (std::size_t n = 1; n <= keys.size(); ++n) {
      SCOPED_TRACE("failing call " + std::to_string(n) + ": " + keys[n - 1]);
      prepare();
      testing::LogCapture quiet(Level::Warn);
      winsim::fail_call_number(n, ERROR_ACCESS_DENIED);
      const int status = act();
      winsim::clear_faults();
      EXPECT_TRUE(status == 0 || status == failure) << status;
      EXPECT_EQ(winsim::leaks(), held);
      EXPECT_EQ(winsim::running_processes(), 0u);
      check(status, keys[n - 1]);
    }
  }
};

// A cleanup that confirms took back every entry of the SID; a shared profile stays whatever fails.
TEST_F(AdminFaultSweep, Cleanup) {
  for (const bool stable : {false, true}) {
    SCOPED_TRACE(stable ? "SID file" : "derived SID");
    std::string sid;
    const auto act = [&] {
      return cleanup(
          {"build-1", kRevoked,
           stable ? std::optional<std::string>("C:\\ProgramData\\shared.sid") : std::nullopt});
    };
    sweep([&] { sid = arrange_cleanup(); }, act, 17,
          [&](int status, const std::string&) {
            for (const std::string& path : kRevoked) {
              EXPECT_TRUE(status != 0 || stored(path).find(sid) == std::string::npos) << path;
            }
            EXPECT_TRUE(!stable || winsim::profiles().size() == 1u);
          });
  }
}
// The SID file is written last: a success wrote it whole, with the loopback entry in place; a
// failure leaves an older file as it was, or none, never one cut short. The steps on the user's
// folders, the drive root, the NUL device and the PATH may fail without failing the registration.
TEST_F(AdminFaultSweep, ProfileRegistration) {
  const auto arrange = [&] {
    root.make_dir("c/Users/ann/.ssh");
    root.make_dir("c/Users/ann/.cargo");
    root.write("c/ProgramData/Tavo/shared.sid", "old\n");
  };
  // The operation rather than the whole mode: a failure to print the mode's line on standard
  // output is an internal failure that ends the process.
  const auto act = [] { return register_sandbox_profile("shared", kSidFile) ? 0 : 13; };
  // The drive root may fail for its traversal grant, not in the walk down to the SID file's
  // folder, which comes last: its failures there are the last ones.
  std::vector<int> root_statuses;
  sweep(arrange, act, 13, [&](int status, const std::string& call) {
    const std::string key = call.substr(call.find(' ') + 1);
    if (key == "C:\\") root_statuses.push_back(status);
    const bool may_fail =
        key.starts_with("C:\\Users") || key == "NUL" || key.find("icacls") != std::string::npos;
    EXPECT_TRUE(!may_fail || status == 0);
    const std::string sid = profile_sid("shared");
    const bool left = root.exists("c/ProgramData/Tavo/shared.sid");
    const std::string bytes = left ? root.read("c/ProgramData/Tavo/shared.sid") : "";
    if (status == 0) {
      EXPECT_EQ(bytes, sid + "\n");
      EXPECT_EQ(winsim::loopback_list(), std::vector<std::string>{sid});
    } else {
      EXPECT_TRUE(!left || bytes == "old\n") << bytes;
    }
  });
  const auto fatal = std::ranges::find_if(root_statuses, [](int status) { return status != 0; });
  EXPECT_NE(fatal, root_statuses.begin());
  EXPECT_NE(fatal, root_statuses.end());
  EXPECT_TRUE(std::all_of(fatal, root_statuses.end(), [](int status) { return status != 0; }));
}

// The marker is written last: it exists only after a success, and then so does every member's
// SID file and loopback entry. A SID file is whole or absent. The NUL device's grant is critical;
// the steps on the user's folders and the PATH are not.
TEST_F(AdminFaultSweep, PoolRegistration) {
  const auto arrange = [&] { root.make_dir("c/Users/ann/.cargo"); };
  const auto act = [] {
    return run_program({"tavo-sandbox", "--register-pool", "--pool-size", "2", "--pool-dir",
                        "C:\\ProgramData\\Tavo\\pool"});
  };
  sweep(arrange, act, 13, [&](int status, const std::string& call) {
    const std::string key = call.substr(call.find(' ') + 1);
    EXPECT_TRUE(!(key.starts_with("C:\\Users") || key.find("icacls") != std::string::npos) ||
                status == 0);
    // Without the drive root's traversal or the NUL device no member can run a command.
    EXPECT_TRUE(!(call == "SetSecurityInfo NUL" || call == "SetKernelObjectSecurity C:\\") ||
                status == 13);
    const std::vector<std::string> files = names_in("C:\\ProgramData\\Tavo\\pool");
    for (const std::string& name : files) {
      if (!name.ends_with(".dat")) continue;
      EXPECT_EQ(root.read("c/ProgramData/Tavo/pool/" + name),
                name.substr(0, name.size() - 4) + "\n");
    }
    const bool marked = root.exists("c/ProgramData/Tavo/pool/.registration-version");
    EXPECT_EQ(marked, status == 0);
    if (status != 0) return;
    const std::vector<std::string> sids = {profile_sid("tavo-sandbox-pool-0"),
                                           profile_sid("tavo-sandbox-pool-1")};
    EXPECT_EQ(winsim::loopback_list(), sids);
    EXPECT_EQ(files.size(), 3u);
  });
}

}  // namespace
}  // namespace tavo
