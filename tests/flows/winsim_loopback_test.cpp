// winsim's loopback-exempt list: the platform's allocation contract, privilege, persistence and
// the simulated concurrent writer.
#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <utility>
#include <vector>

#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/api.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

using Entries = std::vector<std::pair<std::string, DWORD>>;

class WinsimLoopback : public testing::MachineTest {
 protected:
  static unique_local<void> sid(std::string_view text) {
    unique_local<void> out;
    EXPECT_TRUE(ConvertStringSidToSidW(to_wide_nul(text).c_str(), out.put()));
    return out;
  }

  DWORD write(const std::vector<std::pair<std::string, DWORD>>& entries) {
    std::vector<unique_local<void>> sids;
    std::vector<SID_AND_ATTRIBUTES> list;
    for (const auto& [text, attributes] : entries) {
      sids.push_back(sid(text));
      list.push_back({sids.back().get(), attributes});
    }
    return NetworkIsolationSetAppContainerConfig(static_cast<DWORD>(list.size()), list.data());
  }
};

TEST_F(WinsimLoopback, GetHandsOutHeapCopiesThatTheCallerReleases) {
  DWORD count = 99;
  PSID_AND_ATTRIBUTES array = reinterpret_cast<PSID_AND_ATTRIBUTES>(&count);
  ASSERT_EQ(NetworkIsolationGetAppContainerConfig(&count, &array), ERROR_SUCCESS);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(array, nullptr);

  ASSERT_EQ(write({{"S-1-15-2-1-2-3", 5}, {"S-1-15-2-4-5-6", 0}}), ERROR_SUCCESS);
  ASSERT_EQ(NetworkIsolationGetAppContainerConfig(&count, &array), ERROR_SUCCESS);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(array[0].Attributes, 5u);
  EXPECT_EQ(winsim::count_calls("NetworkIsolationSetAppContainerConfig",
                                "2 S-1-15-2-1-2-3 S-1-15-2-4-5-6"),
            1u);
  EXPECT_EQ(winsim::leaks().size(), 3u);  // the array and two SIDs
  HANDLE heap = GetProcessHeap();
  HeapFree(heap, 0, array[1].Sid);
  LocalFree(array[0].Sid);  // the wrong function: noted, still released
  HeapFree(heap, 0, array);
  EXPECT_TRUE(winsim::leaks().empty());
  ASSERT_EQ(winsim::release_errors().size(), 1u);
  winsim::reset();
}

TEST_F(WinsimLoopback, SetKeepsCopiesAndNeedsAnAdministrator) {
  ASSERT_EQ(write({{"S-1-15-2-1-2-3", 1}}), ERROR_SUCCESS);  // the caller's SIDs are gone now
  EXPECT_EQ(winsim::loopback_entries(), (Entries{{"S-1-15-2-1-2-3", 1}}));
  EXPECT_EQ(NetworkIsolationSetAppContainerConfig(1, nullptr), ERROR_INVALID_PARAMETER);

  testing::ScopedEnv user("WINSIM_ADMIN", "0");
  EXPECT_EQ(write({}), ERROR_ACCESS_DENIED);
  EXPECT_EQ(winsim::loopback_list(), std::vector<std::string>{"S-1-15-2-1-2-3"});
  DWORD count = 0;
  PSID_AND_ATTRIBUTES array = nullptr;
  EXPECT_EQ(NetworkIsolationGetAppContainerConfig(&count, &array), ERROR_SUCCESS);
  EXPECT_EQ(count, 1u);
  HeapFree(GetProcessHeap(), 0, array[0].Sid);
  HeapFree(GetProcessHeap(), 0, array);
}

TEST_F(WinsimLoopback, TheDllExportsBothFunctions) {
  HMODULE dll = LoadLibraryW(to_wide_nul("FirewallAPI.dll").c_str());
  ASSERT_NE(dll, nullptr);
  EXPECT_EQ(
      reinterpret_cast<void (*)()>(GetProcAddress(dll, "NetworkIsolationSetAppContainerConfig")),
      reinterpret_cast<void (*)()>(&NetworkIsolationSetAppContainerConfig));
  EXPECT_NE(GetProcAddress(dll, "NetworkIsolationGetAppContainerConfig"), nullptr);
}

TEST_F(WinsimLoopback, TheListLivesInTheStateFileInOrder) {
  testing::TempDir dir;
  testing::ScopedEnv state("WINSIM_STATE", dir / "state");
  winsim::reset();
  ASSERT_EQ(write({{"S-1-15-2-9", 2}, {"S-1-15-2-1", 0}}), ERROR_SUCCESS);
  EXPECT_EQ(dir.read("state"),
            "winsim-state 1\n"
            "loopback\tS-1-15-2-9\t2\n"
            "loopback\tS-1-15-2-1\t0\n");
  winsim::reset();  // another process
  EXPECT_EQ(winsim::loopback_entries(), (Entries{{"S-1-15-2-9", 2}, {"S-1-15-2-1", 0}}));
  winsim::reset();
}

TEST_F(WinsimLoopback, TheConcurrentWriterUndoesOnlySuccessfulWrites) {
  winsim::set_loopback_list({{"S-1-15-2-7", 3}});
  winsim::lose_loopback_writes(1);
  winsim::fail_next_call("NetworkIsolationSetAppContainerConfig", "", ERROR_ACCESS_DENIED);
  EXPECT_EQ(write({{"S-1-15-2-1", 0}}), ERROR_ACCESS_DENIED);
  EXPECT_EQ(write({{"S-1-15-2-2", 0}}), ERROR_SUCCESS);  // lost
  EXPECT_EQ(winsim::loopback_entries(), (Entries{{"S-1-15-2-7", 3}}));
  EXPECT_EQ(write({{"S-1-15-2-3", 0}}), ERROR_SUCCESS);  // stays
  EXPECT_EQ(winsim::loopback_list(), std::vector<std::string>{"S-1-15-2-3"});
}

}  // namespace
}  // namespace tavo
