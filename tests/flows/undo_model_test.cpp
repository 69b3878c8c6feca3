// Random runs against a simple model of what a run may leave: the grants of runs whose command
// ran, and everything that stood before each run; never a deny of a finished run, never a change
// of protection.
#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "run_mode.h"
#include "support/env.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

using testing::kOtherSid;
using testing::kTestSid;

// An object's stored DACL as the model sees it: its protection and its explicit entries, in any
// order (copies of inherited entries that a protected object keeps are left out).
using View = std::pair<bool, std::set<std::string>>;

View view_of(const std::string& sddl) {
  View view{sddl.starts_with("D:P"), {}};
  for (std::size_t at = sddl.find('('); at != std::string::npos; at = sddl.find('(', at + 1)) {
    const std::string entry = sddl.substr(at, sddl.find(')', at) + 1 - at);
    if (entry.substr(3, entry.find(';', 3) - 3).find("ID") == std::string::npos)
      view.second.insert(entry);
  }
  return view;
}

constexpr const char* kObjects[] = {"f0", "f1", "f2", "f3", "f0/file.txt"};

class UndoModel : public testing::MachineTest {
 protected:
  void SetUp() override {
    root.write("c/work/f0/file.txt", "x");
    root.write("a.sid", std::string(kTestSid) + "\n");
    root.write("b.sid", std::string(kOtherSid) + "\n");
    // Plain, an owner's protected folder, a registration's deny, another SID's grant.
    const std::string owner = "(A;OICI;0x1f01ff;;;S-1-5-18)";
    const std::string sddls[] = {"", "D:P" + owner,
                                 "D:P(D;OICI;0x1201bf;;;" + std::string(kTestSid) + ")" + owner,
                                 "D:(A;OICI;0x1301bf;;;" + std::string(kOtherSid) + ")"};
    for (int i = 1; i < 4; ++i) {
      root.make_dir("c/work/" + std::string(kObjects[i]));
      winsim::set_stored_sddl(root / ("c/work/" + std::string(kObjects[i])), sddls[i]);
    }
  }

  std::map<std::string, View> actual() const {
    std::map<std::string, View> views;
    for (const char* name : kObjects)
      views[name] = view_of(winsim::stored_sddl(root / ("c/work/" + std::string(name))));
    return views;
  }

  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
};

TEST_F(UndoModel, RandomRunsLeaveWhatTheModelSays) {
  std::mt19937 random(20261206);
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  // An object of the run, under one of two spellings.
  auto any_object = [&](std::string& object) {
    object = kObjects[pick(std::size(kObjects))];
    std::string path = object;
    std::replace(path.begin(), path.end(), '/', '\\');
    return (pick(3) == 0 ? "C:\\work\\..\\work\\" : "C:\\work\\") + path;
  };
  std::map<std::string, View> model = actual();
  int checked = 0, failed_runs = 0, completed = 0;
  const int runs = 300;
  for (int i = 0; i < runs; ++i) {
    const bool use_a = pick(2) == 0;
    const std::string sid(use_a ? kTestSid : kOtherSid);
    tavo::Run run;
    run.profile_name = "p";
    run.sandbox_sid_file = root / (use_a ? "a.sid" : "b.sid");
    run.command = pick(10) == 0 ? "no-such-program-here" : "sh";
    run.args = {"-c", "exit " + std::to_string(pick(4))};
    std::vector<std::pair<std::string, std::string>> grants;  // object, mask, in order applied
    auto add = [&](std::vector<std::string>& list, const char* mask, std::size_t count) {
      for (std::string object; count > 0; --count) {
        list.push_back(any_object(object));
        if (mask != nullptr) grants.emplace_back(object, mask);
      }
    };
    add(run.grant_rw, "0x1301bf", pick(3));
    add(run.grant_r, "0x1200a9", pick(2));
    add(run.deny_access, nullptr, pick(3));
    if (pick(5) < 2) winsim::fail_call_number(1 + pick(150), ERROR_ACCESS_DENIED);

    testing::LogCapture log(Level::Warn);
    const int status = run_sandboxed(run);
    winsim::clear_faults();
    SCOPED_TRACE("run " + std::to_string(i) + ", status " + std::to_string(status) + "\n" +
                 log.text());
    ASSERT_TRUE(status <= 3 || status == 12 || status == 13 || status == 14);
    if (log.contains("rollback")) {
      // The fault hit an undo: what it left is warned about, not modelled.
      model = actual();
      continue;
    }
    // A completed run's grants stay as SET_ACCESS leaves them: the SID's one entry.
    for (const auto& [name, mask] : status <= 3 ? grants : decltype(grants){}) {
      std::erase_if(model[name].second,
                    [&](const std::string& e) { return e.find(sid) != e.npos; });
      model[name].second.insert("(A;OICI;" + mask + ";;;" + sid + ")");
    }
    ++(status <= 3 ? completed : failed_runs);
    for (const auto& [name, view] : actual())
      EXPECT_EQ(view, model[name]) << name;
    ++checked;
    if (::testing::Test::HasFailure()) break;
  }
  // Most runs are checked, and both outcomes occur often.
  EXPECT_GT(checked, runs * 9 / 10);
  EXPECT_GT(completed, runs / 3);
  EXPECT_GT(failed_runs, runs / 10);
}

}  // namespace
}  // namespace tavo
