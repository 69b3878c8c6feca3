// The program's error values for platform failures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "win/api.h"

namespace tavo {

// A 32-bit HRESULT, with a message of its own when the program made the error itself.
class HresultError {
 public:
  explicit HresultError(std::uint32_t code) : code_(code) {}
  HresultError(std::uint32_t code, std::string message)
      : code_(code), message_(std::move(message)) {}

  // From a Win32 error: the value itself when it is 0 or negative as a signed number, otherwise
  // 0x8007xxxx with its low 16 bits.
  static HresultError from_win32(std::uint32_t error);
  // From the calling thread's last error, after a call that reported failure.
  static HresultError from_last_error();
  // An error the program makes itself: code 0 and the message it gives.
  static HresultError program(std::string message) { return HresultError(0, std::move(message)); }
  static HresultError from_hresult(HRESULT hr) {
    return HresultError(static_cast<std::uint32_t>(hr));
  }

  std::uint32_t code() const { return code_; }

  // The message, a space and the code in parentheses; the code alone without a message. The
  // message is the error's own, or else the system's text for the code.
  std::string display() const;

  friend bool operator==(const HresultError&, const HresultError&) = default;

 private:
  std::uint32_t code_;
  std::optional<std::string> message_;
};

void append_text(std::string& out, const HresultError& error);

// The system's text for a code: FormatMessageW from the system message table, inserts ignored,
// or, for a code carrying 0x10000000, from ntdll.dll's table with that bit cleared. Trailing
// white space is cut; an empty text counts as none.
std::optional<std::string> system_message(std::uint32_t code);

// "0x" and eight upper-case hexadecimal digits.
std::string hex_code(std::uint32_t code);

// The thread's last error after a call that reported failure, or `fallback` when the call left
// it at 0: a failure never turns into success.
DWORD last_error_or(DWORD fallback);

// The failure of a file operation, shown as the system's text and " (os error N)", or as
// "stream did not contain valid UTF-8" for text that is not UTF-8.
class IoError {
 public:
  static IoError from_win32(std::uint32_t error) { return IoError(error); }
  static IoError from_last_error() { return IoError(GetLastError()); }
  static IoError invalid_utf8() { return IoError(std::nullopt); }

  // The Win32 error, absent for the UTF-8 failure.
  std::optional<std::uint32_t> os_error() const { return os_error_; }
  std::string display() const;

  friend bool operator==(const IoError&, const IoError&) = default;

 private:
  explicit IoError(std::optional<std::uint32_t> os_error) : os_error_(os_error) {}
  std::optional<std::uint32_t> os_error_;
};

void append_text(std::string& out, const IoError& error);

}  // namespace tavo
