#include "sandbox_profile/credential_denylist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "support/env.h"
#include "support/machine.h"

namespace tavo {
namespace {

class CredentialDenylist : public testing::MachineTest {
 protected:
  testing::ScopedEnv profile{"USERPROFILE", "C:\\Users\\u"};
  testing::ScopedEnv roaming{"APPDATA", "C:\\Users\\u\\AppData\\Roaming"};
  testing::ScopedEnv local{"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"};
};

const std::vector<std::string> kAllRows = {
    "C:\\Users\\u\\.ssh",
    "C:\\Users\\u\\AppData\\Roaming\\gnupg",
    "C:\\Users\\u\\AppData\\Roaming\\GitHub CLI",
    "C:\\Users\\u\\AppData\\Local\\GitHub CLI",
    "C:\\Users\\u\\.docker",
    "C:\\Users\\u\\.kube",
    "C:\\Users\\u\\AppData\\Roaming\\gcloud",
    "C:\\Users\\u\\.azure",
    "C:\\Users\\u\\.qev\\credentials",
    "C:\\Users\\u\\.qev\\sso\\cache",
    "C:\\Users\\u\\.qev\\cli\\cache",
    "C:\\Users\\u\\.npmrc",
    "C:\\Users\\u\\_netrc",
    "C:\\Users\\u\\.netrc",
    "C:\\Users\\u\\.git-credentials",
    "C:\\Users\\u\\AppData\\Local\\Microsoft\\Credentials",
    "C:\\Users\\u\\AppData\\Roaming\\Microsoft\\Credentials",
    "C:\\Users\\u\\AppData\\Roaming\\Microsoft\\Protect",
    "C:\\Users\\u\\.cargo\\credentials.toml",
    "C:\\Users\\u\\.cargo\\credentials",
    "C:\\Users\\u\\.gem\\credentials",
};

// Every row expands in table order; the rows of an unset or empty variable are left out.
TEST_F(CredentialDenylist, RowsExpandInTableOrderWhenTheirVariableIsSet) {
  EXPECT_EQ(credential_deny_paths(), kAllRows);
  std::vector<std::string> without_roaming;
  std::copy_if(kAllRows.begin(), kAllRows.end(), std::back_inserter(without_roaming),
               [](const std::string& p) { return p.find("Roaming") == std::string::npos; });
  for (const std::optional<std::string>& appdata :
       {std::optional<std::string>{}, std::optional<std::string>{""}}) {
    testing::set_env("APPDATA", appdata);
    EXPECT_EQ(credential_deny_paths(), without_roaming);
  }
  testing::set_env("USERPROFILE", std::nullopt);
  testing::set_env("LOCALAPPDATA", std::nullopt);
  EXPECT_TRUE(credential_deny_paths().empty());
}

// Values are taken as they are: not trimmed, not expanded again; a '%' outside a reference is
// text, and a reference to an unset or empty name fails the row.
TEST_F(CredentialDenylist, ExpansionTakesValuesAsTheyAre) {
  testing::set_env("USERPROFILE", "C:\\Users\\u\\");
  EXPECT_EQ(credential_deny_paths().front(), "C:\\Users\\u\\\\.ssh");
  testing::ScopedEnv base("TAVO_TEST_BASE", "C:\\50%USERPROFILE%");
  EXPECT_EQ(expand_env_refs("%TAVO_TEST_BASE%\\x"), "C:\\50%USERPROFILE%\\x");
  EXPECT_EQ(expand_env_refs("%TAVO_TEST_BASE%\\50%off"), "C:\\50%USERPROFILE%\\50%off");
  EXPECT_EQ(expand_env_refs("no references"), "no references");
  EXPECT_EQ(expand_env_refs("%%\\x"), std::nullopt);
  EXPECT_EQ(expand_env_refs("%TAVO_TEST_UNSET%\\x"), std::nullopt);
}

}  // namespace
}  // namespace tavo
