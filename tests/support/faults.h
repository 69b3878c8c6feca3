// Finding the call to fail in a fault-injection test.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace tavo::testing {

// Runs `action` and returns the number, among the faultable calls it made, of the
// `occurrence`-th call (1-based) of `function`, ready for winsim::fail_call_number on a fresh
// machine. 0 when there is no such call.
std::size_t faultable_number_of(const std::function<void()>& action, std::string_view function,
                                std::size_t occurrence = 1);

}  // namespace tavo::testing
