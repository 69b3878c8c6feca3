// winsim's test facilities and its state file: what every other test leans on without asserting
// it. A fault that missed its call would let a sweep pass without proving anything, and a leak
// the accounting missed would never fail the fixture.
#include <gtest/gtest.h>
#include <winsim/testing.h>
#include <winsim/userenv.h>

#include <thread>

#include "flows/host_processes.h"
#include "spawn.h"
#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

class Winsim : public testing::MachineTest {
 protected:
  testing::TempDir dir;
};

TEST_F(Winsim, FaultsFailExactlyTheChosenCallsAndTheTraceShowsThem) {
  dir.write("a.txt", "x");
  const WideString path = to_wide_nul(dir / "a.txt");
  auto attributes_fail = [&] {
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
  };

  winsim::fail_next_call("GetFileAttributesW", "a.txt", ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(attributes_fail());
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(attributes_fail());  // once only

  winsim::fail_call_number(2, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(attributes_fail());
  EXPECT_TRUE(attributes_fail());
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  winsim::fail_every_call("DeleteFileW", "a.txt", ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  winsim::clear_faults();
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  EXPECT_EQ(winsim::count_calls("GetFileAttributesW", "a.txt"), 4u);
  EXPECT_EQ(winsim::trace().back().function, "DeleteFileW");
  EXPECT_EQ(winsim::trace().back().key, dir / "a.txt");
}

TEST_F(Winsim, AccountingCatchesLeaksAndWrongReleases) {
  HLOCAL block = LocalAlloc(LPTR, 16);
  EXPECT_EQ(winsim::leaks().size(), 1u);
  LocalFree(block);
  EXPECT_TRUE(winsim::leaks().empty());
  LocalFree(block);  // twice
  WIN32_FIND_DATAW data{};
  CloseHandle(FindFirstFileW(to_wide_nul(dir / "*").c_str(), &data));
  PSID sid = nullptr;
  ASSERT_EQ(DeriveAppContainerSidFromAppContainerName(to_wide_nul("p").c_str(), &sid), S_OK);
  LocalFree(sid);
  const std::vector<std::string> errors = winsim::release_errors();
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_NE(errors[1].find("must be released with FindClose"), std::string::npos) << errors[1];
  EXPECT_NE(errors[2].find("must be released with FreeSid"), std::string::npos) << errors[2];
  winsim::reset();
}

// A test that fails half-way must not leave host processes behind for the next one.
TEST_F(Winsim, AResetEndsEveryProcessTheTestStarted) {
  auto start = [](const std::string& script) {
    WideString line = to_wide_nul(command_line("sh", {"-c", script}));
    STARTUPINFOW info{};
    info.cb = sizeof info;
    PROCESS_INFORMATION created{};
    EXPECT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                               nullptr, nullptr, &info, &created));
    return created;
  };
  const PROCESS_INFORMATION suspended = start("sleep 30");
  const PROCESS_INFORMATION running =
      start("sleep 30 & echo $! > " + dir / "bg.pid" + "; sleep 30");
  ASSERT_TRUE(AssignProcessToJobObject(CreateJobObjectW(nullptr, nullptr), running.hProcess));
  ResumeThread(running.hThread);
  for (int i = 0; i < 200 && dir.read("bg.pid").find('\n') == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const pid_t pids[] = {static_cast<pid_t>(suspended.dwProcessId),
                        static_cast<pid_t>(running.dwProcessId), std::stoi(dir.read("bg.pid"))};
  winsim::reset();  // forgets the handles with everything else
  for (pid_t pid : pids)
    EXPECT_TRUE(testing::host_process_ends_soon(pid)) << pid;
}

TEST_F(Winsim, TheConcurrentWriterUndoesOnlySuccessfulWrites) {
  unique_local<void> sid;
  ASSERT_TRUE(ConvertStringSidToSidW(to_wide_nul("S-1-15-2-1").c_str(), sid.put()));
  SID_AND_ATTRIBUTES entry{sid.get(), 0};
  winsim::set_loopback_list({{"S-1-15-2-7", 3}});
  winsim::lose_loopback_writes(1);
  winsim::fail_next_call("NetworkIsolationSetAppContainerConfig", "", ERROR_ACCESS_DENIED);
  EXPECT_EQ(NetworkIsolationSetAppContainerConfig(1, &entry), ERROR_ACCESS_DENIED);
  EXPECT_EQ(NetworkIsolationSetAppContainerConfig(1, &entry), ERROR_SUCCESS);  // lost
  EXPECT_EQ(winsim::loopback_list(), std::vector<std::string>{"S-1-15-2-7"});
  EXPECT_EQ(NetworkIsolationSetAppContainerConfig(1, &entry), ERROR_SUCCESS);  // stays
  EXPECT_EQ(winsim::loopback_list(), std::vector<std::string>{"S-1-15-2-1"});
}

// Other tools read and write the file: each kind of record is read by the next process, and
// written back grouped in a fixed order, aliases in S-1 form, records of unknown kinds kept.
TEST_F(Winsim, TheStateFileCarriesTheMachineFromProcessToProcess) {
  dir.write("d/f.txt", "x");
  dir.write("keep.txt", "x");
  dir.write("state",
            "winsim-state 1\n"
            "future\tkept as it is\n"
            "fault\tDeleteFileW\tkeep.txt\t32\n"
            "object\t" +
                dir / "d" +
                "\tD:P(A;OICI;0x1;;;BU)\n"
                "loopback\tS-1-15-2-9\t2\n"
                "loopback\tS-1-15-2-1\t0\n"
                "object\tNUL\tD:\n"
                "profile\tp\tS-1-15-2-9\n");
  testing::ScopedEnv state("WINSIM_STATE", dir / "state");
  winsim::reset();  // the next call loads the file
  EXPECT_EQ(winsim::profiles(), std::vector<std::string>{"p=S-1-15-2-9"});
  EXPECT_EQ(winsim::loopback_entries(),
            (std::vector<std::pair<std::string, DWORD>>{{"S-1-15-2-9", 2}, {"S-1-15-2-1", 0}}));
  EXPECT_EQ(winsim::dacl_sddl(dir / "d/f.txt"), "D:(A;ID;0x1;;;S-1-5-32-545)");
  EXPECT_EQ(winsim::dacl_sddl("NUL"), "D:");
  EXPECT_FALSE(DeleteFileW(to_wide_nul(dir / "keep.txt").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

  winsim::set_stored_sddl(dir / "d/f.txt", "D:(D;;0x1301bf;;;S-1-15-2-9)");
  winsim::fail_next_call("GetFileAttributesW", "", 5);  // one-shot faults are not kept
  winsim::fail_every_call("DeleteFileW", "other", 5);
  EXPECT_EQ(dir.read("state"),
            "winsim-state 1\n"
            "profile\tp\tS-1-15-2-9\n"
            "loopback\tS-1-15-2-9\t2\n"
            "loopback\tS-1-15-2-1\t0\n"
            "object\t" +
                dir / "d" +
                "\tD:P(A;OICI;0x1;;;S-1-5-32-545)\n"
                "object\t" +
                dir / "d/f.txt" +
                "\tD:(D;;0x1301bf;;;S-1-15-2-9)\n"
                "object\tNUL\tD:\n"
                "fault\tDeleteFileW\tkeep.txt\t32\n"
                "fault\tDeleteFileW\tother\t5\n"
                "future\tkept as it is\n");
  winsim::reset();
}

}  // namespace
}  // namespace tavo
