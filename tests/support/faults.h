// Finding the call to fail in a fault-injection test, and reading the trace.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tavo::testing {

// Runs `action` and returns the number, among the faultable calls it made, of the
// `occurrence`-th call (1-based) of `function`, ready for winsim::fail_call_number on a fresh
// machine. 0 when there is no such call.
// With `key_part`, only calls whose key contains it count.
std::size_t faultable_number_of(const std::function<void()>& action, std::string_view function,
                                std::size_t occurrence = 1, std::string_view key_part = "");

// The functions of the faultable calls in the trace so far, in order: call n of a sweep is
// element n - 1.
std::vector<std::string> faultable_functions();

// The key arguments of the calls of `function` in the trace so far, in order.
std::vector<std::string> keys_of(std::string_view function);

// The DACL calls by name in the trace so far ("function key" each): a path can be swapped for a
// link between two such calls, so the program makes none.
std::vector<std::string> dacl_calls_by_name();

}  // namespace tavo::testing
