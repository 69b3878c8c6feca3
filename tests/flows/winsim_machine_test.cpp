// One machine for several processes at once: changes made by concurrent processes all land, a
// read in one call and a write in the next can still lose an update (as on Windows), and named
// mutexes are shared, waited for and abandoned across processes. The other processes are forks
// of this test, released together through a pipe.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winsim/testing.h>
#include <winsim/userenv.h>

#include <functional>

#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

// Processes forked from the test that wait until go() releases them all at once.
class Forks {
 public:
  Forks() { EXPECT_EQ(::pipe(go_), 0); }
  ~Forks() {
    go();
    for (pid_t pid : pids_)
      ::waitpid(pid, nullptr, 0);
  }
  // `work` runs in the child once released; its result is the child's exit status.
  pid_t start(const std::function<bool()>& work) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(go_[1]);
      char byte;
      while (::read(go_[0], &byte, 1) < 0) {
      }
      ::_exit(work() ? 0 : 1);
    }
    pids_.push_back(pid);
    return pid;
  }
  void go() {
    if (go_[1] >= 0) ::close(go_[1]);
    go_[1] = -1;
  }
  // Releases the children and tells whether each exited with success.
  bool all_succeed() {
    go();
    bool ok = true;
    for (pid_t pid : pids_) {
      int status = 0;
      ok = ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
    }
    pids_.clear();
    return ok;
  }

 private:
  int go_[2] = {-1, -1};
  std::vector<pid_t> pids_;
};

class SharedMachine : public testing::MachineTest {
 protected:
  SharedMachine() { winsim::reset(); }  // the first call loads the state file

  // Grants `sid` read access on `path` the way a program does it: read in one call, write in the
  // next.
  static bool grant(const std::string& path, const std::string& sid) {
    const WideString name = to_wide_nul(path);
    PACL dacl = nullptr;
    unique_local<void> descriptor;
    unique_local<void> trustee;
    unique_local<ACL> merged;
    if (GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, descriptor.put()) != ERROR_SUCCESS ||
        !ConvertStringSidToSidW(to_wide_nul(sid).c_str(), trustee.put()))
      return false;
    EXPLICIT_ACCESS_W access{};
    access.grfAccessPermissions = 0x1200A9;
    access.grfAccessMode = GRANT_ACCESS;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.ptstrName = static_cast<LPWSTR>(trustee.get());
    return SetEntriesInAclW(1, &access, dacl, merged.put()) == ERROR_SUCCESS &&
           SetNamedSecurityInfoW(const_cast<LPWSTR>(name.c_str()), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION, nullptr, nullptr, merged.get(),
                                 nullptr) == ERROR_SUCCESS;
  }

  static std::size_t entries(const std::string& sddl) {
    return static_cast<std::size_t>(std::count(sddl.begin(), sddl.end(), '('));
  }

  testing::TempDir dir;
  testing::ScopedEnv state{"WINSIM_STATE", dir / "state"};
};

TEST_F(SharedMachine, ChangesOfConcurrentProcessesAllLand) {
  dir.write("a.txt", "x");
  dir.write("b.txt", "x");
  Forks forks;
  for (const std::string which : {"a", "b"}) {
    forks.start([&, which] {
      bool ok = true;
      for (int i = 0; i < 50; ++i) {
        PSID sid = nullptr;
        const WideString name = to_wide_nul(which + std::to_string(i));
        ok = CreateAppContainerProfile(name.c_str(), name.c_str(), name.c_str(), nullptr, 0,
                                       &sid) == S_OK &&
             ok;
        FreeSid(sid);
        if (i < 10) ok = grant(dir / (which + ".txt"), "S-1-15-2-" + std::to_string(i)) && ok;
      }
      return ok;
    });
  }
  ASSERT_TRUE(forks.all_succeed());
  EXPECT_EQ(winsim::profiles().size(), 100u);
  EXPECT_EQ(entries(winsim::stored_sddl(dir / "a.txt")), 10u);
  EXPECT_EQ(entries(winsim::stored_sddl(dir / "b.txt")), 10u);
}

// Both read the DACL before either writes it: the second write replaces the first.
TEST_F(SharedMachine, AReadAndAWriteInTwoCallsCanLoseAnUpdate) {
  dir.write("shared.txt", "x");
  testing::ScopedEnv delay("WINSIM_DACL_READ_DELAY_MS", "300");
  Forks forks;
  forks.start([&] { return grant(dir / "shared.txt", "S-1-15-2-1"); });
  forks.start([&] { return grant(dir / "shared.txt", "S-1-15-2-2"); });
  ASSERT_TRUE(forks.all_succeed());
  EXPECT_EQ(entries(winsim::stored_sddl(dir / "shared.txt")), 1u);
}

// Another process's change reaches this one at its next call; this process's one-shot faults
// stay armed through the reload.
TEST_F(SharedMachine, AReloadKeepsThisProcesssOwnFaults) {
  dir.write("a.txt", "x");
  EXPECT_TRUE(winsim::profiles().empty());
  winsim::fail_next_call("GetFileAttributesW", "a.txt", ERROR_SHARING_VIOLATION);
  Forks forks;
  forks.start([] {
    winsim::fail_every_call("DeleteFileW", "a.txt", ERROR_ACCESS_DENIED);
    return true;
  });
  ASSERT_TRUE(forks.all_succeed());
  EXPECT_EQ(GetFileAttributesW(to_wide_nul(dir / "a.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(DeleteFileW(to_wide_nul(dir / "a.txt").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  winsim::clear_faults();
}

// A change the machine cannot record is reported, and not kept in memory either.
TEST_F(SharedMachine, AChangeThatCannotBeRecordedFails) {
  testing::ScopedEnv nowhere("WINSIM_STATE", dir / "missing/state");
  PSID sid = nullptr;
  EXPECT_EQ(CreateAppContainerProfile(u"p", u"p", u"p", nullptr, 0, &sid),
            HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(sid, nullptr);
  EXPECT_TRUE(winsim::profiles().empty());
}

// Every case runs against the mutexes of one process and against the machine-wide ones.
class Mutexes : public testing::MachineTest, public ::testing::WithParamInterface<bool> {
 protected:
  Mutexes() {
    if (GetParam()) shared_.emplace("WINSIM_STATE", dir / "state");
    winsim::reset();
  }

  testing::TempDir dir;
  std::optional<testing::ScopedEnv> shared_;
};

TEST_P(Mutexes, OwnershipIsRecursiveAndOnlyTheOwnerReleases) {
  unique_handle first(CreateMutexW(nullptr, FALSE, u"Local\\m"));
  ASSERT_TRUE(first);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  unique_handle second(CreateMutexW(nullptr, TRUE, u"m"));  // the same: ownership not taken
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  unique_handle global(CreateMutexW(nullptr, FALSE, u"Global\\m"));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);

  EXPECT_FALSE(ReleaseMutex(second.get()));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  EXPECT_EQ(WaitForSingleObject(first.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(second.get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(second.get()));
  EXPECT_TRUE(ReleaseMutex(first.get()));
  EXPECT_FALSE(ReleaseMutex(first.get()));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);

  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, u"other"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  unique_handle opened(OpenMutexW(SYNCHRONIZE, FALSE, u"Global\\m"));
  EXPECT_TRUE(opened);
  BYTE not_a_descriptor[20] = {7};
  SECURITY_ATTRIBUTES attributes{sizeof attributes, not_a_descriptor, FALSE};
  EXPECT_EQ(CreateMutexW(&attributes, FALSE, u"n"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SECURITY_DESCR);
  winsim::fail_next_call("CreateMutexW", "n", ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"Global\\n"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_P(Mutexes, AnArrangedAbandonmentReachesTheNextOwnerOnce) {
  winsim::abandon_mutex("Global\\m");
  unique_handle mutex(CreateMutexW(nullptr, FALSE, u"Global\\m"));
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex.get()));  // the one who got it abandoned owns it
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

INSTANTIATE_TEST_SUITE_P(InProcessAndShared, Mutexes, ::testing::Bool());

// One way of word between the test and a child: a byte says "done".
class Pipe {
 public:
  Pipe() { EXPECT_EQ(::pipe(fds_), 0); }
  ~Pipe() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  void tell() { [[maybe_unused]] auto sent = ::write(fds_[1], "!", 1); }
  bool heard() {
    char byte;
    return ::read(fds_[0], &byte, 1) == 1;
  }

 private:
  int fds_[2] = {-1, -1};
};

using SharedMutex = SharedMachine;

TEST_F(SharedMutex, ASecondProcessWaitsUntilTheOwnerReleases) {
  Pipe timed_out_once;
  Forks forks;
  forks.start([&] {
    unique_handle mutex(OpenMutexW(SYNCHRONIZE, FALSE, u"Global\\m"));
    const bool timed_out = WaitForSingleObject(mutex.get(), 50) == WAIT_TIMEOUT;
    timed_out_once.tell();
    return mutex && timed_out && WaitForSingleObject(mutex.get(), INFINITE) == WAIT_OBJECT_0 &&
           ReleaseMutex(mutex.get());
  });
  unique_handle mutex(CreateMutexW(nullptr, TRUE, u"Global\\m"));
  forks.go();
  EXPECT_TRUE(timed_out_once.heard());
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
  EXPECT_TRUE(forks.all_succeed());
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

// An owner that dies, or closes its last handle, holding the mutex abandons it to the next one
// who has a handle. Once no process has a handle, the mutex is gone and made anew.
TEST_F(SharedMutex, AnOwnerThatGoesAwayHoldingItAbandonsIt) {
  auto take = [] {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"m");
    return mutex != nullptr && WaitForSingleObject(mutex, INFINITE) == WAIT_OBJECT_0;
  };
  {
    Forks dies;
    dies.start(take);
    unique_handle mutex(CreateMutexW(nullptr, FALSE, u"m"));
    ASSERT_TRUE(dies.all_succeed());
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
  }
  {
    Pipe closed, looked;
    Forks closes;
    closes.start([&] {
      HANDLE mutex = CreateMutexW(nullptr, FALSE, u"m");
      const bool taken = WaitForSingleObject(mutex, INFINITE) == WAIT_OBJECT_0;
      CloseHandle(mutex);
      closed.tell();
      return taken && looked.heard();  // alive until the test has looked
    });
    unique_handle mutex(CreateMutexW(nullptr, FALSE, u"m"));
    closes.go();
    EXPECT_TRUE(closed.heard());
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
    looked.tell();
    EXPECT_TRUE(closes.all_succeed());
  }
  Forks dies_alone;
  dies_alone.start(take);
  ASSERT_TRUE(dies_alone.all_succeed());
  unique_handle mutex(CreateMutexW(nullptr, FALSE, u"m"));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

}  // namespace
}  // namespace tavo
