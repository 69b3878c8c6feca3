// Sets an environment variable for the length of a test and puts the old value back.
#pragma once

#include <optional>
#include <string>

namespace tavo::testing {

class ScopedEnv {
 public:
  // `value` absent: the variable is removed.
  ScopedEnv(std::string name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

void set_env(const std::string& name, const std::optional<std::string>& value);

}  // namespace tavo::testing
