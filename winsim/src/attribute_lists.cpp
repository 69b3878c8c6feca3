// Process start-up attribute lists. The list lives in the caller's buffer: a header, then one
// entry per attribute holding the attribute, the caller's value pointer and its size. As on
// Windows, the values are not copied: they must stay valid until the process is created.
#include <cstring>

#include "processes.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace {

constexpr std::uint32_t kMagic = 0x4C415450;

struct Header {
  std::uint32_t magic;
  std::uint32_t capacity;
  std::uint32_t used;
  std::uint32_t reserved;
  std::uint64_t reserved2;
};

struct Entry {
  DWORD_PTR attribute;
  const void* value;
  SIZE_T size;
};

static_assert(sizeof(Header) == 24 && sizeof(Entry) == 24);

SIZE_T size_for(DWORD count) {
  return sizeof(Header) + sizeof(Entry) * static_cast<SIZE_T>(count);
}

// The list's header, read without assuming the caller's buffer is aligned.
std::optional<Header> header_of(LPPROC_THREAD_ATTRIBUTE_LIST list) {
  if (list == nullptr) return std::nullopt;
  Header header;
  std::memcpy(&header, list, sizeof header);
  if (header.magic != kMagic) return std::nullopt;
  return header;
}

Entry entry_of(LPPROC_THREAD_ATTRIBUTE_LIST list, std::uint32_t index) {
  Entry entry;
  std::memcpy(&entry, reinterpret_cast<const BYTE*>(list) + size_for(index), sizeof entry);
  return entry;
}

}  // namespace

BOOL InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD attribute_count,
                                       DWORD flags, PSIZE_T size) {
  if (DWORD error = enter("InitializeProcThreadAttributeList", std::to_string(attribute_count)))
    return fail(error, FALSE);
  if (size == nullptr || flags != 0) return fail(ERROR_INVALID_PARAMETER, FALSE);
  const SIZE_T needed = size_for(attribute_count);
  if (list == nullptr || *size < needed) {
    *size = needed;
    return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  const Header header{kMagic, attribute_count, 0, 0, 0};
  std::memcpy(list, &header, sizeof header);
  *size = needed;
  track(list, Release::DeleteAttributeList, "InitializeProcThreadAttributeList");
  return TRUE;
}

BOOL UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute,
                               PVOID value, SIZE_T size, PVOID previous_value,
                               PSIZE_T return_size) {
  if (DWORD error = enter("UpdateProcThreadAttribute", hex8(static_cast<DWORD>(attribute))))
    return fail(error, FALSE);
  auto header = header_of(list);
  if (!header || flags != 0 || value == nullptr || previous_value != nullptr ||
      return_size != nullptr) {
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  switch (attribute) {
    case PROC_THREAD_ATTRIBUTE_HANDLE_LIST:
      if (size == 0 || size % sizeof(HANDLE) != 0) return fail(kErrorBadLength, FALSE);
      break;
    case PROC_THREAD_ATTRIBUTE_SECURITY_CAPABILITIES:
      if (size != sizeof(SECURITY_CAPABILITIES)) return fail(kErrorBadLength, FALSE);
      break;
    default:
      return fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  // A full list and an attribute set twice are refused as well (winsim's choice of error).
  if (header->used == header->capacity) return fail(ERROR_INVALID_PARAMETER, FALSE);
  for (std::uint32_t i = 0; i < header->used; ++i) {
    if (entry_of(list, i).attribute == attribute) return fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  const Entry entry{attribute, value, size};
  std::memcpy(reinterpret_cast<BYTE*>(list) + size_for(header->used), &entry, sizeof entry);
  ++header->used;
  std::memcpy(list, &*header, sizeof *header);
  return TRUE;
}

void DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list) {
  note("DeleteProcThreadAttributeList");
  if (list == nullptr) return;
  if (!untrack(list, Release::DeleteAttributeList)) return;
  const std::uint32_t cleared = 0;
  std::memcpy(list, &cleared, sizeof cleared);
}

namespace winsim::detail {

std::optional<StartAttributes> read_attributes(LPPROC_THREAD_ATTRIBUTE_LIST list) {
  auto header = header_of(list);
  if (!header) return std::nullopt;
  StartAttributes out;
  out.count = header->used;
  for (std::uint32_t i = 0; i < header->used; ++i) {
    const Entry entry = entry_of(list, i);
    if (entry.attribute == PROC_THREAD_ATTRIBUTE_SECURITY_CAPABILITIES) {
      out.security_capabilities = static_cast<const SECURITY_CAPABILITIES*>(entry.value);
    } else if (entry.attribute == PROC_THREAD_ATTRIBUTE_HANDLE_LIST) {
      const auto* handles = static_cast<const HANDLE*>(entry.value);
      out.handle_list.assign(handles, handles + entry.size / sizeof(HANDLE));
      out.has_handle_list = true;
    }
  }
  return out;
}

}  // namespace winsim::detail
