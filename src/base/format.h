// A small "{}" formatter for the program's messages (GCC 12 has no <format>).
//
// format("grant_rw {} failed: {}", path, error) fills each "{}" with the next argument's text.
// "{:08x}" and "{:x}" write an integer in lower-case hexadecimal, zero-padded to the width;
// "{{" and "}}" are literal braces. A value type takes part by providing
//   void append_text(std::string& out, const T& value);
// found by argument-dependent lookup.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavo {

inline void append_text(std::string& out, std::string_view text) {
  out.append(text);
}
inline void append_text(std::string& out, const std::string& text) {
  out.append(text);
}
inline void append_text(std::string& out, const char* text) {
  out.append(text);
}
void append_integer(std::string& out, std::uint64_t magnitude, bool negative,
                    std::string_view options);

namespace format_detail {

struct Arg {
  const void* value;
  void (*append)(std::string& out, std::string_view options, const void* value);
};

template <class T>
Arg make_arg(const T& value) {
  return Arg{&value, [](std::string& out, std::string_view options, const void* p) {
               const T& v = *static_cast<const T*>(p);
               if constexpr (std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char>) {
                 if constexpr (std::signed_integral<T>) {
                   const bool negative = v < 0;
                   const auto magnitude =
                       negative ? static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(v)
                                : static_cast<std::uint64_t>(v);
                   append_integer(out, magnitude, negative, options);
                 } else {
                   append_integer(out, static_cast<std::uint64_t>(v), false, options);
                 }
               } else if constexpr (std::same_as<T, bool>) {
                 out.append(v ? "true" : "false");
               } else if constexpr (std::same_as<T, char>) {
                 out.push_back(v);
               } else {
                 append_text(out, v);
               }
             }};
}

std::string format_args(std::string_view pattern, const Arg* args, std::size_t count);

}  // namespace format_detail

template <class... Args>
std::string format(std::string_view pattern, const Args&... args) {
  const format_detail::Arg list[] = {format_detail::make_arg(args)..., {nullptr, nullptr}};
  return format_detail::format_args(pattern, list, sizeof...(Args));
}

}  // namespace tavo
