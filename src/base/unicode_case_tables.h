// The Unicode data behind to_lowercase, generated into unicode_case_tables.cpp by
// scripts/gen-unicode-case.py.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tavo::unicode_case {

// Code points first, first + stride, ... (count of them) map to themselves plus delta.
struct LowerRun {
  char32_t first;
  std::uint16_t count;
  std::uint8_t stride;
  std::int32_t delta;
};

// A code point whose lower case is several code points.
struct LowerExpansion {
  char32_t code;
  std::string_view utf8;
};

struct CodeRange {
  char32_t first;
  char32_t last;
};

// Sorted by first code point; the runs do not overlap.
extern const std::span<const LowerRun> kLowerRunTable;
extern const std::span<const LowerExpansion> kLowerExpansionTable;
// Sorted, disjoint ranges of the Cased and Case_Ignorable properties.
extern const std::span<const CodeRange> kCasedTable;
extern const std::span<const CodeRange> kCaseIgnorableTable;

}  // namespace tavo::unicode_case
