// FormatMessageW over the machine's message tables: the system table (Win32 codes, and the
// HRESULTs of facility Win32 through their Win32 code) and ntdll's table (NTSTATUS codes).
// Texts are the English ones of Windows, each ending in CR LF as Windows' do.
#include <cstring>
#include <map>

#include "internal.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace winsim::detail {

const std::map<DWORD, std::string_view>& system_messages() {
  static const std::map<DWORD, std::string_view> table = {
      {0, "The operation completed successfully."},
      {1, "Incorrect function."},
      {2, "The system cannot find the file specified."},
      {3, "The system cannot find the path specified."},
      {4, "The system cannot open the file."},
      {5, "Access is denied."},
      {6, "The handle is invalid."},
      {8, "Not enough memory resources are available to process this command."},
      {13, "The data is invalid."},
      {14, "Not enough memory resources are available to complete this operation."},
      {17, "The system cannot move the file to a different disk drive."},
      {18, "There are no more files."},
      {32, "The process cannot access the file because it is being used by another process."},
      {38, "Reached the end of the file."},
      {50, "The request is not supported."},
      {80, "The file exists."},
      {87, "The parameter is incorrect."},
      {109, "The pipe has been ended."},
      {112, "There is not enough space on the disk."},
      {122, "The data area passed to a system call is too small."},
      {123, "The filename, directory name, or volume label syntax is incorrect."},
      {126, "The specified module could not be found."},
      {127, "The specified procedure could not be found."},
      {145, "The directory is not empty."},
      {161, "The specified path is invalid."},
      {183, "Cannot create a file when that file already exists."},
      {203, "The system could not find the environment option that was entered."},
      {206, "The filename or extension is too long."},
      {234, "More data is available."},
      {259, "No more data is available."},
      {258, "The wait operation timed out."},
      {267, "The directory name is invalid."},
      {288, "Attempt to release mutex not owned by caller."},
      {1168, "Element not found."},
      {1305, "The revision level is unknown."},
      {1307, "This security ID may not be assigned as the owner of this object."},
      {1314, "A required privilege is not held by the client."},
      {1332, "No mapping between account names and security IDs was done."},
      {1336, "The access control list (ACL) structure is invalid."},
      {1337, "The security ID structure is invalid."},
      {1338, "The security descriptor structure is invalid."},
      {1344, "No more memory is available for security information updates."},
  };
  return table;
}

}  // namespace winsim::detail

namespace {

const std::map<DWORD, std::string_view>& ntdll_messages() {
  static const std::map<DWORD, std::string_view> table = {
      {0xC0000005,
       "The instruction at 0x%p referenced memory at 0x%p. The memory could not be %s."},
      {0xC000013A,
       "{Application Exit by CTRL+C}\r\nThe application terminated as a result of a CTRL+C."},
  };
  return table;
}

std::optional<std::string_view> find_system_message(DWORD id) {
  const auto& table = system_messages();
  DWORD win32 = id;
  if ((id & 0xFFFF0000u) == 0x80070000u) win32 = id & 0xFFFF;
  if (win32 > 0xFFFF) return std::nullopt;
  auto it = table.find(win32);
  if (it == table.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string_view> find_ntdll_message(DWORD id) {
  auto it = ntdll_messages().find(id);
  if (it == ntdll_messages().end()) return std::nullopt;
  return it->second;
}

}  // namespace

// Defined in modules.cpp: the handle GetModuleHandleW gives for ntdll.dll.
namespace winsim::detail {
HMODULE ntdll_module();
}

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD message_id, DWORD /*language_id*/,
                     LPWSTR buffer, DWORD size, void* /*arguments*/) {
  if (DWORD error = enter("FormatMessageW", std::to_string(message_id))) return fail(error, 0u);
  if (flags & FORMAT_MESSAGE_FROM_STRING) return fail(ERROR_NOT_SUPPORTED, 0u);

  std::optional<std::string_view> text;
  if ((flags & FORMAT_MESSAGE_FROM_HMODULE) && source != nullptr) {
    if (source != ntdll_module()) return fail(ERROR_MR_MID_NOT_FOUND, 0u);
    text = find_ntdll_message(message_id);
  }
  if (!text && (flags & FORMAT_MESSAGE_FROM_SYSTEM)) text = find_system_message(message_id);
  if (!text) return fail(ERROR_MR_MID_NOT_FOUND, 0u);

  // Inserts are left as they are; winsim has no insert arguments to offer.
  std::u16string message = widen(*text);
  message += u"\r\n";
  const auto length = static_cast<DWORD>(message.size());

  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    auto* block = static_cast<WCHAR*>(
        local_alloc((message.size() + 1) * sizeof(WCHAR), false, "FormatMessageW"));
    if (block == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY, 0u);
    std::memcpy(block, message.c_str(), (message.size() + 1) * sizeof(WCHAR));
    *reinterpret_cast<WCHAR**>(buffer) = block;
    return length;
  }
  if (buffer == nullptr || size < length + 1) return fail(ERROR_INSUFFICIENT_BUFFER, 0u);
  std::memcpy(buffer, message.c_str(), (message.size() + 1) * sizeof(WCHAR));
  return length;
}
