#include "support/env.h"

#include <gtest/gtest.h>

#include "win/api.h"
#include "win/env.h"
#include "win/wide.h"

namespace tavo::testing {

void set_env(const std::string& name, const std::optional<std::string>& value) {
  const WideString wide_name = to_wide_nul(name);
  const WideString wide_value = to_wide_nul(value.value_or(""));
  ASSERT_TRUE(SetEnvironmentVariableW(wide_name.c_str(), value ? wide_value.c_str() : nullptr));
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value)
    : name_(std::move(name)), saved_(env_var(name_)) {
  set_env(name_, value);
}

ScopedEnv::~ScopedEnv() {
  set_env(name_, saved_);
}

}  // namespace tavo::testing
