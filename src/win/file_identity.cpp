#include "win/file_identity.h"

#include <cstring>

#include "base/format.h"

namespace tavo {
namespace {

constexpr std::string_view kHexDigits = "0123456789abcdef";

std::optional<std::uint8_t> hex_digit(char c) {
  const std::size_t at = kHexDigits.find(c);
  if (at == std::string_view::npos) return std::nullopt;
  return static_cast<std::uint8_t>(at);
}

}  // namespace

std::string identity_text(const FileIdentity& identity) {
  std::string text = format("{:016x}:", identity.volume);
  for (std::uint8_t byte : identity.file) {
    text.push_back(kHexDigits[byte >> 4]);
    text.push_back(kHexDigits[byte & 0xF]);
  }
  return text;
}

std::optional<FileIdentity> parse_identity(std::string_view text) {
  constexpr std::size_t kVolumeDigits = 16;
  if (text.size() != kVolumeDigits + 1 + 32 || text[kVolumeDigits] != ':') return std::nullopt;
  FileIdentity identity;
  for (std::size_t i = 0; i < kVolumeDigits; ++i) {
    auto digit = hex_digit(text[i]);
    if (!digit) return std::nullopt;
    identity.volume = identity.volume << 4 | *digit;
  }
  const std::string_view file = text.substr(kVolumeDigits + 1);
  for (std::size_t i = 0; i < identity.file.size(); ++i) {
    auto high = hex_digit(file[2 * i]);
    auto low = hex_digit(file[2 * i + 1]);
    if (!high || !low) return std::nullopt;
    identity.file[i] = static_cast<std::uint8_t>(*high << 4 | *low);
  }
  return identity;
}

std::expected<FileIdentity, HresultError> identity_of(HANDLE file) {
  FILE_ID_INFO information{};
  if (!GetFileInformationByHandleEx(file, FileIdInfo, &information, sizeof information)) {
    return std::unexpected(HresultError::from_last_error());
  }
  FileIdentity identity;
  identity.volume = information.VolumeSerialNumber;
  static_assert(sizeof information.FileId.Identifier == sizeof identity.file);
  std::memcpy(identity.file.data(), information.FileId.Identifier, identity.file.size());
  return identity;
}

unique_handle open_by_identity(HANDLE hint, const FileIdentity& identity, DWORD access) {
  FILE_ID_DESCRIPTOR descriptor{};
  descriptor.dwSize = sizeof descriptor;
  // The 128-bit form: the only one every file system's IDs fit in.
  descriptor.Type = ExtendedFileIdType;
  std::memcpy(descriptor.ExtendedFileId.Identifier, identity.file.data(), identity.file.size());
  // Only metadata is asked for, so sharing everything keeps out of everyone's way; backup
  // semantics open directories.
  return unique_handle(OpenFileById(hint, &descriptor, access,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    FILE_FLAG_BACKUP_SEMANTICS));
}

}  // namespace tavo
