#include "credential_denylist.h"

#include <gtest/gtest.h>

#include <algorithm>

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

TEST_F(CredentialDenylist, AllRowsExpandInTableOrder) {
  const std::vector<std::string> expected = {
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
  EXPECT_EQ(credential_deny_paths(), expected);
}

TEST_F(CredentialDenylist, RowsOfAnUnsetOrEmptyVariableAreLeftOut) {
  for (const std::optional<std::string>& appdata :
       {std::optional<std::string>{}, std::optional<std::string>{""}}) {
    testing::set_env("APPDATA", appdata);
    const auto paths = credential_deny_paths();
    ASSERT_EQ(paths.size(), 16u);
    EXPECT_EQ(paths[1], "C:\\Users\\u\\AppData\\Local\\GitHub CLI");
    EXPECT_EQ(paths[12], "C:\\Users\\u\\AppData\\Local\\Microsoft\\Credentials");
    EXPECT_TRUE(std::none_of(paths.begin(), paths.end(), [](const std::string& p) {
      return p.find("Roaming") != std::string::npos;
    }));
  }
  testing::set_env("USERPROFILE", std::nullopt);
  testing::set_env("LOCALAPPDATA", std::nullopt);
  EXPECT_TRUE(credential_deny_paths().empty());
}

TEST_F(CredentialDenylist, ValuesAreTakenAsTheyAre) {
  testing::set_env("USERPROFILE", "C:\\Users\\u\\");
  EXPECT_EQ(credential_deny_paths().front(), "C:\\Users\\u\\\\.ssh");  // not trimmed

  testing::ScopedEnv base("TAVO_TEST_BASE", "C:\\50%USERPROFILE%");
  EXPECT_EQ(expand_env_refs("%TAVO_TEST_BASE%\\x"), "C:\\50%USERPROFILE%\\x");  // not again
}

TEST_F(CredentialDenylist, PercentSignsOutsideAReference) {
  testing::ScopedEnv base("TAVO_TEST_BASE", "C:\\b");
  EXPECT_EQ(expand_env_refs("%TAVO_TEST_BASE%\\50%off"), "C:\\b\\50%off");  // unmatched
  EXPECT_EQ(expand_env_refs("no references"), "no references");
  EXPECT_EQ(expand_env_refs("%%\\x"), std::nullopt);  // an empty name is never set
  EXPECT_EQ(expand_env_refs("%TAVO_TEST_UNSET%\\x"), std::nullopt);
}

}  // namespace
}  // namespace tavo
