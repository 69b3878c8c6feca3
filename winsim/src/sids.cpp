// SIDs: conversion to and from their string form, comparison and release.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "winsim/security.h"

namespace winsim::detail {
namespace {

std::optional<std::uint64_t> parse_number(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  std::uint64_t value = 0;
  for (char c : text) {
    int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                : base == 16 && std::isxdigit(static_cast<unsigned char>(c))
                    ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                    : -1;
    if (digit < 0) return std::nullopt;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    if (value > 0xFFFFFFFFFFFFull) return std::nullopt;
  }
  return value;
}

std::string_view alias(std::string_view text) {
  static const std::pair<std::string_view, std::string_view> kAliases[] = {
      {"SY", "S-1-5-18"},   {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"}, {"WD", "S-1-1-0"},
      {"AC", "S-1-15-2-1"}, {"CO", "S-1-3-0"},      {"AU", "S-1-5-11"},     {"CG", "S-1-3-1"},
      {"OW", "S-1-3-4"},    {"IU", "S-1-5-4"},      {"LS", "S-1-5-19"},     {"NS", "S-1-5-20"},
  };
  for (const auto& [name, sid] : kAliases) {
    if (text == name) return sid;
  }
  return text;
}

}  // namespace

std::optional<std::vector<BYTE>> sid_from_string(std::string_view text) {
  text = alias(text);
  if (text.size() < 2 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return std::nullopt;
  text.remove_prefix(2);
  std::vector<std::uint64_t> parts;
  while (true) {
    std::size_t dash = text.find('-');
    auto number = parse_number(text.substr(0, dash));
    if (!number) return std::nullopt;
    parts.push_back(*number);
    if (dash == std::string_view::npos) break;
    text.remove_prefix(dash + 1);
  }
  // Revision, authority, then 1 to 15 sub-authorities.
  if (parts.size() < 3 || parts.size() > 2u + SID_MAX_SUB_AUTHORITIES || parts[0] != SID_REVISION) {
    return std::nullopt;
  }
  const std::size_t count = parts.size() - 2;
  std::vector<BYTE> sid(8 + 4 * count);
  sid[0] = SID_REVISION;
  sid[1] = static_cast<BYTE>(count);
  for (int i = 0; i < 6; ++i)
    sid[2 + i] = static_cast<BYTE>(parts[1] >> (8 * (5 - i)));
  for (std::size_t k = 0; k < count; ++k) {
    if (parts[2 + k] > 0xFFFFFFFFu) return std::nullopt;
    const auto value = static_cast<DWORD>(parts[2 + k]);
    std::memcpy(sid.data() + 8 + 4 * k, &value, 4);  // little-endian host
  }
  return sid;
}

bool sid_is_valid(const void* sid) {
  if (sid == nullptr) return false;
  const auto* bytes = static_cast<const BYTE*>(sid);
  return bytes[0] == SID_REVISION && bytes[1] <= SID_MAX_SUB_AUTHORITIES;
}

std::size_t sid_length(const void* sid) {
  return 8 + 4 * static_cast<std::size_t>(static_cast<const BYTE*>(sid)[1]);
}

std::string sid_to_string(const void* sid) {
  const auto* bytes = static_cast<const BYTE*>(sid);
  std::uint64_t authority = 0;
  for (int i = 0; i < 6; ++i)
    authority = (authority << 8) | bytes[2 + i];
  std::string text = "S-1-";
  if (authority >= (1ull << 32)) {
    char hex[20];
    std::snprintf(hex, sizeof hex, "0x%012llX", static_cast<unsigned long long>(authority));
    text += hex;
  } else {
    text += std::to_string(authority);
  }
  for (BYTE k = 0; k < bytes[1]; ++k) {
    DWORD value;
    std::memcpy(&value, bytes + 8 + 4 * k, 4);
    text += "-" + std::to_string(value);
  }
  return text;
}

void* copy_sid(const void* sid, std::size_t length, Release how, std::string made_by) {
  void* block = std::malloc(length);
  if (block == nullptr) return nullptr;
  std::memcpy(block, sid, length);
  track(block, how, std::move(made_by));
  return block;
}

}  // namespace winsim::detail

using namespace winsim::detail;

BOOL ConvertSidToStringSidW(PSID sid, LPWSTR* string_sid) {
  if (DWORD error = enter("ConvertSidToStringSidW", sid_is_valid(sid) ? sid_to_string(sid) : "")) {
    return fail(error, FALSE);
  }
  if (string_sid == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!sid_is_valid(sid)) return fail(ERROR_INVALID_SID, FALSE);
  std::u16string text = widen(sid_to_string(sid));
  auto* block = static_cast<WCHAR*>(
      local_alloc((text.size() + 1) * sizeof(WCHAR), false, "ConvertSidToStringSidW"));
  if (block == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  std::memcpy(block, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  *string_sid = block;
  return TRUE;
}

BOOL ConvertStringSidToSidW(LPCWSTR string_sid, PSID* sid) {
  const std::string text = narrow(string_sid);
  if (DWORD error = enter("ConvertStringSidToSidW", text)) return fail(error, FALSE);
  if (string_sid == nullptr || sid == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  auto binary = sid_from_string(text);
  if (!binary) return fail(ERROR_INVALID_SID, FALSE);
  void* block = local_alloc(binary->size(), false, "ConvertStringSidToSidW");
  if (block == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  std::memcpy(block, binary->data(), binary->size());
  *sid = block;
  return TRUE;
}

BOOL EqualSid(PSID a, PSID b) {
  if (DWORD error = enter("EqualSid")) return fail(error, FALSE);
  if (!sid_is_valid(a) || !sid_is_valid(b)) return fail(ERROR_INVALID_SID, FALSE);
  set_last_error(ERROR_SUCCESS);
  return sid_length(a) == sid_length(b) && std::memcmp(a, b, sid_length(a)) == 0;
}

DWORD GetLengthSid(PSID sid) {
  if (DWORD error = enter("GetLengthSid")) return fail(error, 0u);
  return sid_is_valid(sid) ? static_cast<DWORD>(sid_length(sid)) : 0u;
}

PVOID FreeSid(PSID sid) {
  note("FreeSid");
  if (sid == nullptr) return nullptr;
  if (!untrack(sid, Release::FreeSid)) return sid;
  std::free(sid);
  return nullptr;
}
