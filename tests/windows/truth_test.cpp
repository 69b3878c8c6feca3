// What winsim assumes where no source settles the platform's behaviour, and where the program
// places entries itself (AceList), asked of the platform itself: the rules the program depends
// on. Each test prints one line, "truth: RULE | winsim: ANSWER | here: ANSWER" ("AceList:" for
// the placement), and fails when the answers differ: the rule to correct is named. Wine cannot
// answer: it keeps no file ACLs and its system programs are stubs.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "acl/ace_list.h"
#include "acl/acl.h"
#include "acl/dacl.h"
#include "acl/dacl_object.h"
#include "path_grant/icacls.h"
#include "sid/sid_text.h"
#include "support/current_directory.h"
#include "support/env.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"
#include "win/api.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

void report(const std::string& rule, const std::string& believed, const std::string& here,
            const std::string& believer = "winsim") {
  std::printf("truth: %s | %s: %s | here: %s\n", rule.c_str(), believer.c_str(), believed.c_str(),
              here.c_str());
  std::fflush(stdout);
  EXPECT_EQ(here, believed) << believer << "'s rule is wrong: " << rule;
}

// The entries of `acl` that `keep` picks.
std::vector<Ace> entries_where(PACL acl, auto keep) {
  std::vector<Ace> out;
  const AceList all = AceList::read(acl).value_or(AceList(std::vector<Ace>{}));
  for (const Ace& entry : all.entries())
    if (keep(entry)) out.push_back(entry);
  return out;
}

bool is_inherited(const Ace& e) {
  return e.is_inherited();
}

ObjectDacl read_named(const std::string& path) {
  auto object = DaclObject::open_to_read(path);
  auto dacl = object ? object->read_dacl() : std::unexpected(object.error());
  EXPECT_TRUE(dacl) << path;
  return dacl ? std::move(*dacl) : ObjectDacl{};
}

void write_named(const std::string& path, SECURITY_INFORMATION info, PACL acl) {
  ASSERT_EQ(SetNamedSecurityInfoW(to_wide_nul(path).data(), SE_FILE_OBJECT, info, nullptr, nullptr,
                                  acl, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
}

class Truth : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::running_under_wine()) GTEST_SKIP() << "Wine keeps no ACLs; its programs are stubs";
  }
  testing::TempDir root;
  SandboxSid owned = testing::make_sid();
  PSID sid = owned.get();
};

TEST_F(Truth, AProtectedWriteKeepsInheritedEntriesAsInherited) {
  root.make_dir("parent/child");
  const std::string child = root / "parent/child";
  ObjectDacl before = read_named(child);
  ASSERT_FALSE(entries_where(before.dacl, is_inherited).empty()) << "the folder inherits nothing";
  write_named(child, kProtectedDacl, before.dacl);
  const bool still_flagged = !entries_where(read_named(child).dacl, is_inherited).empty();
  report("a PROTECTED write of a DACL holding inherited entries",
         "they are kept, flagged inherited",
         still_flagged ? "they are kept, flagged inherited" : "they are kept as explicit entries");
}

TEST_F(Truth, SetFileSecurityTakesProtectionFromTheDescriptor) {
  root.make_dir("protected");
  const std::string folder = root / "protected";
  write_named(folder, kProtectedDacl, read_named(folder).dacl);
  ObjectDacl protected_dacl = read_named(folder);
  SECURITY_DESCRIPTOR absolute{};
  InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&absolute, TRUE, protected_dacl.dacl, FALSE);
  ASSERT_TRUE(SetFileSecurityW(to_wide_nul(folder).c_str(), DACL_SECURITY_INFORMATION, &absolute));
  report("SetFileSecurityW with a descriptor lacking SE_DACL_PROTECTED on a protected folder",
         "the folder inherits again",
         (kept_dacl_control(read_named(folder).descriptor.get()).value_or(SE_DACL_PROTECTED) &
          SE_DACL_PROTECTED) != 0
             ? "the folder stays protected"
             : "the folder inherits again");
}

// Read back as the file rights they stand for, on the folder that was given them and on a file
// that inherits them.
TEST_F(Truth, GenericRightsAreMappedWhereStoredAndWhereInherited) {
  root.make_dir("generic");
  const std::string folder = root / "generic";
  auto entries = AceList::read(read_named(folder).dacl);
  ASSERT_TRUE(entries);
  entries->set_allow(
      sid, {ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, GENERIC_ALL},
      false);
  auto updated = entries->to_acl();
  ASSERT_TRUE(updated);
  write_named(folder, DACL_SECURITY_INFORMATION, updated->get());
  root.write("generic/file.txt", "x");
  // The rights the SID's entries that apply to `path` itself give it.
  const auto rights_on = [&](const std::string& path) {
    DWORD mask = 0;
    for (const Ace& entry : entries_where(read_named(path).dacl, [&](const Ace& e) {
           return (e.flags() & INHERIT_ONLY_ACE) == 0 && e.type() == ACCESS_ALLOWED_ACE_TYPE &&
                  EqualSid(e.sid(), sid);
         }))
      mask |= entry.parts().mask;
    char text[64];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(mask));
    return std::string(text);
  };
  report("an entry written with GENERIC_ALL, on the folder and on a new file that inherits it",
         "the folder 0x1f01ff, the file 0x1f01ff",
         "the folder " + rights_on(folder) + ", the file " + rights_on(root / "generic/file.txt"));
}

TEST_F(Truth, ProgramSearchLooksInTheCurrentDirectoryBeforePath) {
  root.make_dir("current");
  root.make_dir("onpath");
  const std::filesystem::path system = "C:\\Windows\\System32";
  std::filesystem::copy_file(system / "cmd.exe", root / "current/tavo-probe.exe");
  std::filesystem::copy_file(system / "whoami.exe", root / "onpath/tavo-probe.exe");
  testing::CurrentDirectory in(root / "current");
  testing::ScopedEnv path("PATH", root / "onpath");
  WideString line = to_wide_nul("tavo-probe /c exit 7");
  STARTUPINFOW info{};
  info.cb = sizeof info;
  PROCESS_INFORMATION started{};
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &info, &started))
      << GetLastError();
  unique_handle process(started.hProcess), thread(started.hThread);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  report("CreateProcessW's search: the current directory before PATH",
         "the current directory's program runs",
         code == 7 ? "the current directory's program runs" : "PATH's program runs");
}

// Whether `acl` holds an explicit entry for the test SID.
bool grants_test_sid(PACL acl, PSID sid) {
  return !entries_where(acl, [&](const Ace& e) { return e.is_explicit_of(sid); }).empty();
}

std::string read_execute_grant() {
  return "*" + std::string(testing::kTestSid) + ":(OI)(CI)(RX)";
}

// The registrations hand icacls the drive form of a folder's final path (C:\...); whether it
// takes the extended-length form too is not documented.
TEST_F(Truth, IcaclsTakesAnExtendedLengthPath) {
  root.make_dir("long");
  const std::string target = "\\\\?\\" + (root / "long");
  auto run = run_icacls(target, {read_execute_grant()}, kIcaclsDirFlags);
  ASSERT_TRUE(run);
  const bool changed = run->ok() && grants_test_sid(read_named(root / "long").dacl, sid);
  report("icacls with a \\\\?\\ target", "the folder is changed",
         changed ? "the folder is changed" : "refused: " + run->error_text);
}

// With /L icacls changes a link itself rather than what it names; whether /T still walks into a
// folder a link inside the tree names is not documented.
TEST_F(Truth, IcaclsTreeWithSlashLLeavesWhatALinkInsideNames) {
  root.make_dir("tree");
  root.make_dir("outside");
  constexpr DWORD kDirectory = 0x1, kUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_*
  if (!CreateSymbolicLinkW(to_wide_nul(root / "tree/link").c_str(),
                           to_wide_nul(root / "outside").c_str(), kDirectory | kUnprivileged)) {
    GTEST_SKIP() << "cannot make a symbolic link here (developer mode or elevation): "
                 << GetLastError();
  }
  auto run = run_icacls(root / "tree", {read_execute_grant()}, kIcaclsTreeFlags);
  ASSERT_TRUE(run && run->ok()) << (run ? run->error_text : run.error().display());
  const bool followed = grants_test_sid(read_named(root / "outside").dacl, sid);
  report("icacls /T /L on a tree holding a link to a folder outside it",
         "the folder the link names is left alone",
         followed ? "the folder the link names is changed"
                  : "the folder the link names is left alone");
}

// The entries of the DACL that `sddl` describes.
AceList entries_of_sddl(const std::string& sddl) {
  unique_local<void> descriptor;
  PACL dacl = nullptr;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
                  to_wide_nul(sddl).c_str(), SDDL_REVISION_1, descriptor.put(), nullptr) &&
              GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted))
      << sddl;
  return AceList::read(dacl).value_or(AceList(std::vector<Ace>{}));
}

// Entries as "(TYPE FLAGS MASK SID)", in hexadecimal, so that any two lists compare as text.
std::string text_of(const AceList& entries) {
  std::string out;
  for (const Ace& entry : entries.entries()) {
    const SidEntry parts = entry.parts();
    char head[48];
    std::snprintf(head, sizeof head, "(%x %x %lx ", parts.type, parts.flags,
                  static_cast<unsigned long>(parts.mask));
    out += head + sid_to_sddl(entry.sid()).value_or("?") + ")";
  }
  return out;
}

// The program places a SID's entries itself (AceList), where everyone else lets the platform's
// merge place them; asked here of SetEntriesInAclW for DACLs in the platform's order, none
// holding an entry a record would merge into. SET_ACCESS may leave the SID's deny entries where a
// grant takes them off: those are taken off the merge's result as the program takes them off.
TEST_F(Truth, AceListPlacesEntriesWhereThePlatformsMergePlacesThem) {
  const std::string app(testing::kTestSid);
  const std::string other(testing::kOtherSid);
  const std::string dacls[] = {
      "D:",
      "D:(A;OICIID;0x1;;;BU)",
      "D:(D;;0x1f01ff;;;" + other + ")(A;OICI;0x1200a9;;;BU)(A;OICIID;0x1;;;BU)",
      "D:(D;;0x1;;;" + app + ")(D;;0x1f01ff;;;" + other + ")(A;;0x1200a9;;;" + app +
          ")(A;;0x10;;;" + other + ")(A;OICIID;0x1;;;BU)",
  };
  const SidEntry read_write{ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                            0x1301bf};
  const SidEntry traverse{ACCESS_ALLOWED_ACE_TYPE, 0, 0x1200a9};
  const SidEntry deny{ACCESS_DENIED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, 0x1f01ff};
  const auto merged = [&](const AceList& before, ACCESS_MODE mode, const SidEntry& entry) {
    auto acl = before.to_acl();
    unique_local<ACL> out;
    EXPLICIT_ACCESS_W record{};
    record.grfAccessPermissions = entry.mask;
    record.grfAccessMode = mode;
    record.grfInheritance = entry.flags;
    record.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    record.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
    record.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    if (!acl || SetEntriesInAclW(1, &record, acl->get(), out.put()) != ERROR_SUCCESS)
      return std::string("the merge failed");
    auto after = AceList::read(out.get());
    if (!after) return std::string("the merge's ACL is unreadable");
    if (mode == SET_ACCESS && entry.flags != 0) {
      after->remove_of(sid, [](const SidEntry& e) { return e.type == ACCESS_DENIED_ACE_TYPE; });
    }
    return text_of(*after);
  };
  const auto edited = [&](AceList entries, const std::function<void(AceList&)>& edit) {
    edit(entries);
    return text_of(entries);
  };
  std::string differences;
  for (const std::string& dacl : dacls) {
    const AceList before = entries_of_sddl(dacl);
    const auto compare = [&](const char* what, const std::string& ours, const std::string& its) {
      if (ours != its) differences += " " + dacl + " " + what + ": " + its + " not " + ours + ";";
    };
    compare("SET read-write",
            edited(before, [&](AceList& e) { e.set_allow(sid, read_write, true); }),
            merged(before, SET_ACCESS, read_write));
    compare("DENY", edited(before, [&](AceList& e) { e.add_deny(sid, deny); }),
            merged(before, DENY_ACCESS, deny));
    if (before.find(sid, {ACCESS_DENIED_ACE_TYPE, 0, 1})) continue;  // SET's denies: not settled
    compare("SET traverse", edited(before, [&](AceList& e) { e.set_allow(sid, traverse, false); }),
            merged(before, SET_ACCESS, traverse));
  }
  report("SetEntriesInAclW's placement of a SID's SET and DENY records among other entries",
         "where AceList places them",
         differences.empty() ? "where AceList places them" : "elsewhere:" + differences, "AceList");
}

}  // namespace
}  // namespace tavo
