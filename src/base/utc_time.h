// Points in time as the program shows them.
#pragma once

#include <cstdint>
#include <string>

namespace tavo {

// A FILETIME count (100 ns units since 1601-01-01 UTC) as "YYYY-MM-DDTHH:MM:SSZ".
std::string utc_text(std::uint64_t filetime);

}  // namespace tavo
