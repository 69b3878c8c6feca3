// The ledger of lasting entries against winsim: what runs record, what --list-entries shows, and
// what cleanup takes back with it.
#include <gtest/gtest.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <algorithm>
#include <filesystem>

#include "cleanup.h"
#include "entry.h"
#include "flows/host_processes.h"
#include "flows/program.h"
#include "run_journal/ledger.h"
#include "run_mode.h"
#include "sandbox_profile/loopback.h"
#include "sandbox_profile/profiles.h"
#include "support/env.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

class LedgerFlow : public testing::MachineTest {
 protected:
  LedgerFlow() {
    for (const char* dir : {"c/Windows", "c/work/proj/secret", "c/work/other"})
      root.make_dir(dir);
  }
  ~LedgerFlow() override { winsim::end_processes(); }

  // The demo's run: a grant, a deny inside it and the working folder, as profile `name`.
  int demo_run(const std::string& name = "demo") const {
    tavo::Run run;
    run.profile_name = name;
    run.grant_rw = {"C:\\work\\proj"};
    run.deny_access = {"C:\\work\\proj\\secret"};
    run.cwd = "C:\\work\\proj";
    run.command = "sh";
    run.args = {"-c", "exit 0"};
    return run_sandboxed(run);
  }

  testing::ProgramOutcome program(std::vector<std::string> args) const {
    return testing::run_program_in(root, std::move(args));
  }
  static std::string sid_of(std::string_view name) { return testing::profile_sid(name); }
  // Every object the demo's run may put an entry on, by Windows path.
  static std::vector<std::string> demo_objects() {
    return {"C:\\", "C:\\work", "C:\\work\\proj", "C:\\work\\proj\\secret", "NUL"};
  }
  static bool anywhere(const std::string& sid) {
    const std::vector<std::string> objects = demo_objects();
    return std::any_of(objects.begin(), objects.end(), [&](const std::string& object) {
      return winsim::dacl_sddl(object).find(sid) != std::string::npos;
    });
  }
  std::string ledger_text() const {
    return root.exists(kLedger) ? root.read(kLedger) : std::string();
  }

  static constexpr const char* kLedger = "c/Users/u/AppData/Local/Tavo/ledger/entries.ledger";
  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
  testing::ScopedEnv local{"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"};
  testing::ScopedEnv program_data{"PROGRAMDATA", "C:\\ProgramData"};
};

// The demo: after a run with a grant, a deny and a working folder, a cleanup of the profile
// without --revoke leaves no entry of the SID on any object the run touched (the drive root, the
// folder above, the NUL device, the grant), takes it off the loopback list and empties the
// ledger; --list-entries named each entry before and names none after.
TEST_F(LedgerFlow, CleanupOfADeletedProfileTakesBackEverythingTheRunLeft) {
  ASSERT_EQ(demo_run(), 0);
  const std::string sid = sid_of("demo");
  ASSERT_FALSE(sid.empty());
  EXPECT_TRUE(anywhere(sid));
  EXPECT_EQ(winsim::dacl_sddl("C:\\work\\proj\\secret").find("(D;"), std::string::npos);
  winsim::set_loopback_list({{"S-1-15-2-9-8-7-6-5-4-3", 0}, {sid, 0}});

  const testing::ProgramOutcome listed = program({"--list-entries", "--profile-name", "demo"});
  EXPECT_EQ(listed.status, 0);
  std::vector<std::string> kinds;
  for (std::size_t at = 0; at < listed.out.size();) {
    const std::size_t end = listed.out.find('\n', at);
    const std::string line = listed.out.substr(at, end - at);
    EXPECT_TRUE(line.starts_with(sid + "\t")) << line;
    EXPECT_EQ(line.find("not in place"), std::string::npos) << line;
    kinds.push_back(line.substr(sid.size() + 1, line.find('\t', sid.size() + 1) - sid.size() - 1));
    at = end + 1;
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"traverse", "traverse", "nul", "grant"}));
  EXPECT_NE(listed.out.find("\tgrant\trw\t\\\\?\\C:\\work\\proj\t"), std::string::npos);
  EXPECT_NE(listed.out.find("\ttraverse\ttraverse\t\\\\?\\C:\\\t"), std::string::npos);

  testing::LogCapture log(Level::Warn);
  EXPECT_EQ(cleanup(Cleanup{"demo", {}, std::nullopt, false}), 0);
  EXPECT_EQ(log.text(), "");
  EXPECT_FALSE(anywhere(sid));
  EXPECT_TRUE(winsim::profiles().empty());
  EXPECT_EQ(winsim::loopback_list(), std::vector<std::string>{"S-1-15-2-9-8-7-6-5-4-3"});
  EXPECT_EQ(ledger_text(), "tavo-sandbox ledger 1\n");
  EXPECT_EQ(program({"--list-entries"}).out, "");
}

// A repeat run places nothing new and writes nothing to the ledger (it does not even read it:
// every edit it makes finds its entry in place).
TEST_F(LedgerFlow, ARepeatRunWritesNothing) {
  ASSERT_EQ(demo_run(), 0);
  const std::string first = ledger_text();
  const std::size_t before = winsim::trace().size();
  ASSERT_EQ(demo_run(), 0);
  EXPECT_EQ(ledger_text(), first);
  for (std::size_t i = before; i < winsim::trace().size(); ++i)
    EXPECT_EQ(winsim::trace()[i].key.find("entries.ledger"), std::string::npos)
        << winsim::trace()[i].function;
}

// A run whose command never started takes its grant back and its record with it, and keeps what
// only lets the SID pass.
// Proves L1 (a grant taken back leaves the ledger).
TEST_F(LedgerFlow, AFailedLaunchForgetsItsGrant) {
  tavo::Run failing;
  failing.profile_name = "other";
  failing.grant_r = {"C:\\work\\other"};
  failing.command = "no-such-program-anywhere";
  testing::LogCapture quiet(Level::Off);
  EXPECT_EQ(run_sandboxed(failing), 14);
  const std::string other = sid_of("other");
  const std::string text = ledger_text();
  EXPECT_EQ(text.find("grant " + other), std::string::npos) << text;
  EXPECT_NE(text.find("nul " + other + " rw"), std::string::npos) << text;
}

// An entry someone else took away is marked in the list and costs cleanup nothing; one that
// cannot be taken back is warned about, stays recorded and makes the cleanup partial (17), and a
// later cleanup finishes it. A ledger that cannot be trusted is warned about; the others are
// still listed.
// Proves L1 (a record goes only after its entry).
TEST_F(LedgerFlow, WhatCannotBeTakenBackStaysRecordedForALaterCleanup) {
  ASSERT_EQ(demo_run(), 0);
  const std::string sid = sid_of("demo");
  winsim::set_stored_sddl("C:\\work\\proj", "");
  root.make_dir("c/ProgramData/Tavo/ledger");
  root.write("c/ProgramData/Tavo/ledger/entries.ledger", "tavo-sandbox ledger 1\n");
  {
    testing::LogCapture log(Level::Warn);
    const testing::ProgramOutcome listed = program({"--list-entries"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.out.find("\\\\?\\C:\\work\\proj\t"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("(not in place)\n"), std::string::npos) << listed.out;
    EXPECT_EQ(listed.out.find("(not in place)"), listed.out.rfind("(not in place)"));
    EXPECT_TRUE(
        log.contains("ledger C:\\ProgramData\\Tavo\\ledger\\entries.ledger cannot be "
                     "read: "))
        << log.text();
  }
  winsim::fail_every_call("SetKernelObjectSecurity", "work", ERROR_ACCESS_DENIED);
  {
    testing::LogCapture log(Level::Warn);
    EXPECT_EQ(cleanup(Cleanup{"demo", {}, std::nullopt, false}), 17);
    EXPECT_TRUE(log.contains("taking back the traverse entry on \\\\?\\C:\\work failed"))
        << log.text();
  }
  winsim::clear_faults();
  EXPECT_NE(winsim::dacl_sddl("C:\\work").find(sid), std::string::npos);
  EXPECT_EQ(winsim::dacl_sddl("C:\\").find(sid), std::string::npos);
  const std::string left = ledger_text();
  EXPECT_NE(left.find("traverse " + sid), std::string::npos);
  EXPECT_EQ(left.find("traverse " + sid), left.rfind("traverse " + sid)) << left;
  EXPECT_EQ(cleanup(Cleanup{"demo", {}, std::nullopt, false}), 0);
  EXPECT_FALSE(anywhere(sid));
  EXPECT_EQ(ledger_text(), "tavo-sandbox ledger 1\n");
}

// A revoke forgets the records of the entries it took off, and no others: the SID's grant on
// another folder stays recorded, and so does its entry on the folders above; nothing is left
// recorded that the machine no longer carries.
// Proves L1.
TEST_F(LedgerFlow, ARevokeForgetsTheRecordsOfWhatItTookOff) {
  ASSERT_EQ(demo_run(), 0);
  const std::string sid = sid_of("demo");
  root.write("sid", sid + "\n");
  tavo::Run other;
  other.profile_name = "demo";
  other.sandbox_sid_file = root / "sid";
  other.grant_r = {"C:\\work\\other"};
  other.command = "sh";
  other.args = {"-c", "exit 0"};
  ASSERT_EQ(run_sandboxed(other), 0);
  ASSERT_NE(ledger_text().find("\\\\?\\C:\\work\\proj\n"), std::string::npos);

  EXPECT_EQ(cleanup(Cleanup{"demo", {"C:\\work\\proj"}, root / "sid", false}), 0);
  EXPECT_EQ(winsim::dacl_sddl("C:\\work\\proj").find(sid), std::string::npos);
  const std::string left = ledger_text();
  EXPECT_EQ(left.find("\\\\?\\C:\\work\\proj\n"), std::string::npos) << left;
  EXPECT_NE(left.find("\\\\?\\C:\\work\\other\n"), std::string::npos) << left;
  EXPECT_NE(left.find("traverse " + sid), std::string::npos) << left;
  const testing::ProgramOutcome listed = program({"--list-entries", "--profile-name", "demo"});
  EXPECT_NE(listed.out.find("C:\\work\\other"), std::string::npos) << listed.out;
  EXPECT_EQ(listed.out.find("not in place"), std::string::npos) << listed.out;
}

}  // namespace
}  // namespace tavo
