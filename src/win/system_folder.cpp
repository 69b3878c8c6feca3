#include "win/system_folder.h"

#include "win/api.h"
#include "win/sized_text.h"

namespace tavo {

std::expected<std::string, IoError> system_folder() {
  std::optional<std::string> folder = read_sized_text([](WCHAR* buffer, DWORD size) {
    return static_cast<DWORD>(GetSystemDirectoryW(buffer, static_cast<UINT>(size)));
  });
  if (!folder) return std::unexpected(IoError::from_last_error());
  return *folder;
}

}  // namespace tavo
