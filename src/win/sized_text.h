// Text from platform calls that report the size they need (GetLongPathNameW,
// GetFullPathNameW, GetFinalPathNameByHandleW, ...).
#pragma once

#include <optional>
#include <string>

#include "win/wide.h"

namespace tavo {

// `query(buffer, size)` is called first with no buffer and size 0, which gives the size needed
// in UTF-16 units (terminating NUL included), then with a zero-filled buffer of exactly that
// size, which gives the number of units written. Nothing when either call fails (returns 0),
// when the text grew between the two calls, or when it is not valid UTF-16.
template <class Query>
std::optional<std::string> read_sized_text(Query query) {
  const DWORD needed = query(nullptr, 0);
  if (needed == 0) return std::nullopt;
  WideString buffer(needed, WCHAR{});
  const DWORD written = query(buffer.data(), needed);
  if (written == 0 || written >= needed) return std::nullopt;
  buffer.resize(written);
  return from_wide(buffer);
}

}  // namespace tavo
