// Reading the trace of a fault-injection test.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tavo::testing {

// The functions of the faultable calls in the trace so far, in order: call n of a sweep is
// element n - 1.
std::vector<std::string> faultable_functions();

// The faultable calls in the trace so far as "function key", the first `skip` left out (a count
// winsim::faultable_calls() gave before the calls a sweep fails).
std::vector<std::string> faultable_calls(std::size_t skip = 0);

// The key arguments of the calls of `function` in the trace so far, in order.
std::vector<std::string> keys_of(std::string_view function);

// The DACL calls by name in the trace so far ("function key" each): a path can be swapped for a
// link between two such calls, so the program makes none.
std::vector<std::string> dacl_calls_by_name();

}  // namespace tavo::testing
