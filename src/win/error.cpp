#include "win/error.h"

#include "base/format.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

constexpr std::uint32_t kNtFacilityBit = 0x10000000;

bool is_trailing_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

HresultError HresultError::from_win32(std::uint32_t error) {
  if (static_cast<std::int32_t>(error) <= 0) return HresultError(error);
  return HresultError((error & 0xFFFF) | 0x80070000u);
}

DWORD last_error_or(DWORD fallback) {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : fallback;
}

HresultError HresultError::from_last_error() {
  return from_win32(GetLastError());
}

std::optional<std::string> system_message(std::uint32_t code) {
  DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE module = nullptr;
  if (code & kNtFacilityBit) {
    code &= ~kNtFacilityBit;
    module = GetModuleHandleW(to_wide_nul("ntdll.dll").c_str());
    if (module != nullptr) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  }
  unique_local<WCHAR> text;
  // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument receives the allocated pointer.
  const DWORD length =
      FormatMessageW(flags, module, code, 0, reinterpret_cast<LPWSTR>(text.put()), 0, nullptr);
  if (length == 0 || !text) return std::nullopt;
  std::string message = from_wide_lossy(WideView(text.get(), length));
  while (!message.empty() && is_trailing_space(message.back()))
    message.pop_back();
  if (message.empty()) return std::nullopt;
  return message;
}

std::string hex_code(std::uint32_t code) {
  return format("0x{:08X}", code);
}

std::string HresultError::display() const {
  std::optional<std::string> message = message_;
  if (message && message->empty()) message.reset();
  if (!message) message = system_message(code_);
  if (!message) return hex_code(code_);
  return format("{} ({})", *message, hex_code(code_));
}

void append_text(std::string& out, const HresultError& error) {
  out += error.display();
}

std::string IoError::display() const {
  if (!os_error_) return "stream did not contain valid UTF-8";
  std::optional<std::string> message = system_message(*os_error_);
  return format("{} (os error {})", message.value_or("Unknown error"), *os_error_);
}

void append_text(std::string& out, const IoError& error) {
  out += error.display();
}

}  // namespace tavo
