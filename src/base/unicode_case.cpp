#include "base/unicode_case.h"

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "base/unicode_case_tables.h"

namespace tavo {
namespace {

using namespace unicode_case;

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;
constexpr char32_t kNotUtf8 = 0xFFFFFFFF;  // stands for a byte copied as it is

bool in(std::span<const CodeRange> table, char32_t c) {
  auto it = std::upper_bound(table.begin(), table.end(), c,
                             [](char32_t value, const CodeRange& r) { return value < r.first; });
  return it != table.begin() && c <= std::prev(it)->last;
}

bool is_cased(char32_t c) {
  return c != kNotUtf8 && in(kCasedTable, c);
}
bool is_case_ignorable(char32_t c) {
  return c != kNotUtf8 && in(kCaseIgnorableTable, c);
}

char32_t simple_lower(char32_t c) {
  auto it = std::upper_bound(kLowerRunTable.begin(), kLowerRunTable.end(), c,
                             [](char32_t value, const LowerRun& r) { return value < r.first; });
  if (it == kLowerRunTable.begin()) return c;
  const LowerRun& run = *std::prev(it);
  const char32_t offset = c - run.first;
  if (offset % run.stride != 0 || offset / run.stride >= run.count) return c;
  return static_cast<char32_t>(static_cast<std::int64_t>(c) + run.delta);
}

// Whether the first character that is not case-ignorable is cased.
template <class Iterator>
bool cased_after_ignorables(Iterator begin, Iterator end) {
  auto it = std::find_if_not(begin, end, is_case_ignorable);
  return it != end && is_cased(*it);
}

// Capital sigma at `i` ends a word when a cased character precedes it and none follows it,
// case-ignorable characters (apostrophes, combining marks, ...) skipped on both sides.
bool ends_word(const std::vector<char32_t>& text, std::size_t i) {
  const auto at = text.begin() + static_cast<std::ptrdiff_t>(i);
  return cased_after_ignorables(std::make_reverse_iterator(at), text.rend()) &&
         !cased_after_ignorables(at + 1, text.end());
}

}  // namespace

std::string to_lowercase(std::string_view utf8) {
  // Decoded first: the sigma rule looks both ways.
  std::vector<char32_t> text;
  std::vector<char> raw;  // the bytes behind kNotUtf8, in order
  text.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t c = 0;
    const std::size_t length = decode_utf8(utf8, i, c);
    if (length == 0) {
      text.push_back(kNotUtf8);
      raw.push_back(utf8[i]);
      ++i;
      continue;
    }
    text.push_back(c);
    i += length;
  }

  std::string out;
  out.reserve(utf8.size());
  std::size_t next_raw = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t c = text[i];
    if (c == kNotUtf8) {
      out.push_back(raw[next_raw++]);
    } else if (c < 0x80) {
      out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : static_cast<char>(c));
    } else if (c == kCapitalSigma) {
      append_utf8(out, ends_word(text, i) ? kFinalSigma : kSmallSigma);
    } else {
      auto expansion = std::find_if(kLowerExpansionTable.begin(), kLowerExpansionTable.end(),
                                    [&](const LowerExpansion& e) { return e.code == c; });
      if (expansion != kLowerExpansionTable.end()) {
        out.append(expansion->utf8);
      } else {
        append_utf8(out, simple_lower(c));
      }
    }
  }
  return out;
}

}  // namespace tavo
