// winsim's AppContainer profiles: SID derivation, name rules, the registry and its release rules.
#include <gtest/gtest.h>
#include <winsim/testing.h>
#include <winsim/userenv.h>

#include "support/machine.h"
#include "win/api.h"
#include "win/wide.h"

namespace tavo {
namespace {

class WinsimProfiles : public testing::MachineTest {};

std::string sid_text(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return "?";
  std::string out = from_wide_lossy(wide_view(text));
  LocalFree(text);
  return out;
}

// The SID that Derive gives for `name`, released as the platform requires.
std::string derived(std::string_view name, HRESULT* result = nullptr) {
  PSID sid = nullptr;
  HRESULT hr = DeriveAppContainerSidFromAppContainerName(to_wide_nul(name).c_str(), &sid);
  if (result != nullptr) *result = hr;
  if (FAILED(hr)) return {};
  std::string text = sid_text(sid);
  FreeSid(sid);
  return text;
}

HRESULT create(std::string_view name, std::string_view display, std::string_view description) {
  PSID sid = nullptr;
  HRESULT hr = CreateAppContainerProfile(to_wide_nul(name).c_str(), to_wide_nul(display).c_str(),
                                         to_wide_nul(description).c_str(), nullptr, 0, &sid);
  if (SUCCEEDED(hr)) FreeSid(sid);
  return hr;
}

TEST_F(WinsimProfiles, DerivesThePlatformsSidFromTheLowerCasedName) {
  const std::string expected =
      "S-1-15-2-1861897761-1695161497-2927542615-642690995-327840285-2659745135-2630312742";
  EXPECT_EQ(derived("microsoft.windows.cortana_cw5n1h2txyewy"), expected);
  EXPECT_EQ(derived("Microsoft.Windows.Cortana_cw5n1h2txyewy"), expected);
  EXPECT_NE(derived("tavo-sandbox-pool-0"), derived("tavo-sandbox-pool-1"));
  EXPECT_TRUE(winsim::profiles().empty());  // deriving creates nothing
}

TEST_F(WinsimProfiles, CreateRegistersOnceAndHandsOutTheDerivedSid) {
  PSID sid = nullptr;
  ASSERT_EQ(
      CreateAppContainerProfile(to_wide_nul("build-42").c_str(), to_wide_nul("build-42").c_str(),
                                to_wide_nul("build-42").c_str(), nullptr, 0, &sid),
      S_OK);
  EXPECT_EQ(sid_text(sid), derived("build-42"));
  FreeSid(sid);
  EXPECT_EQ(winsim::profiles(), std::vector<std::string>{"build-42=" + derived("build-42")});

  EXPECT_EQ(create("build-42", "x", "y"), static_cast<HRESULT>(0x800700B7));
  EXPECT_EQ(create("BUILD-42", "x", "y"), static_cast<HRESULT>(0x800700B7));

  EXPECT_EQ(DeleteAppContainerProfile(to_wide_nul("Build-42").c_str()), S_OK);
  EXPECT_TRUE(winsim::profiles().empty());
  EXPECT_EQ(DeleteAppContainerProfile(to_wide_nul("build-42").c_str()), S_OK);  // already gone
  EXPECT_EQ(create("build-42", "x", "y"), S_OK);
}

TEST_F(WinsimProfiles, RefusesNamesAndTextsOutsideTheRules) {
  const std::string longest(64, 'a');
  EXPECT_EQ(create(longest, "", ""), S_OK);
  EXPECT_EQ(create("a-b_c.d e9", std::string(512, 'd'), std::string(2048, 'e')), S_OK);

  EXPECT_EQ(create(longest + "a", "", ""), E_INVALIDARG);
  EXPECT_EQ(create("", "", ""), E_INVALIDARG);
  EXPECT_EQ(create("a/b", "", ""), E_INVALIDARG);
  EXPECT_EQ(create("caf\xC3\xA9", "", ""), E_INVALIDARG);
  EXPECT_EQ(create("ok", std::string(513, 'd'), ""), E_INVALIDARG);
  EXPECT_EQ(create("ok", "", std::string(2049, 'e')), E_INVALIDARG);
  PSID sid = nullptr;
  EXPECT_EQ(CreateAppContainerProfile(nullptr, nullptr, nullptr, nullptr, 0, &sid), E_INVALIDARG);
  EXPECT_EQ(CreateAppContainerProfile(to_wide_nul("ok").c_str(), nullptr, to_wide_nul("ok").c_str(),
                                      nullptr, 0, &sid),
            E_INVALIDARG);
  HRESULT hr = S_OK;
  EXPECT_EQ(derived("a:b", &hr), "");
  EXPECT_EQ(hr, E_INVALIDARG);
  EXPECT_EQ(winsim::profiles().size(), 2u);
}

TEST_F(WinsimProfiles, FaultsComeBackAsHresults) {
  winsim::fail_next_call("CreateAppContainerProfile", "denied", ERROR_ACCESS_DENIED);
  EXPECT_EQ(create("denied", "", ""), static_cast<HRESULT>(0x80070005));
  EXPECT_TRUE(winsim::profiles().empty());
  EXPECT_EQ(winsim::count_calls("CreateAppContainerProfile", "denied"), 1u);
}

TEST_F(WinsimProfiles, ProfileSidsAreReleasedWithFreeSid) {
  PSID sid = nullptr;
  ASSERT_EQ(DeriveAppContainerSidFromAppContainerName(to_wide_nul("p").c_str(), &sid), S_OK);
  LocalFree(sid);
  ASSERT_EQ(winsim::release_errors().size(), 1u);
  EXPECT_NE(winsim::release_errors()[0].find("must be released with FreeSid"), std::string::npos);
  winsim::reset();
}

TEST_F(WinsimProfiles, TheProgramFindsTheFunctionsByName) {
  HMODULE userenv =
      LoadLibraryExW(to_wide_nul("userenv.dll").c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  ASSERT_NE(userenv, nullptr);
  for (const char* name : {"CreateAppContainerProfile", "DeriveAppContainerSidFromAppContainerName",
                           "DeleteAppContainerProfile"}) {
    EXPECT_NE(GetProcAddress(userenv, name), nullptr) << name;
  }
  using Derive = HRESULT (*)(PCWSTR, PSID*);
  auto derive = reinterpret_cast<Derive>(reinterpret_cast<void (*)()>(
      GetProcAddress(userenv, "DeriveAppContainerSidFromAppContainerName")));
  PSID sid = nullptr;
  ASSERT_EQ(derive(to_wide_nul("p").c_str(), &sid), S_OK);
  EXPECT_EQ(sid_text(sid), derived("p"));
  FreeSid(sid);
}

}  // namespace
}  // namespace tavo
