#include "win/attribute_list.h"

namespace tavo {

std::expected<AttributeList, HresultError> AttributeList::create(DWORD count) {
  SIZE_T size = 0;
  // The size query fails by design (insufficient buffer); only the size it gives matters.
  InitializeProcThreadAttributeList(nullptr, count, 0, &size);
  auto buffer = std::make_unique<std::byte[]>(size);  // zero-filled
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(size == 0 ? nullptr : buffer.get());
  if (!InitializeProcThreadAttributeList(list, count, 0, &size))
    return std::unexpected(HresultError::from_last_error());
  return AttributeList(std::move(buffer));
}

AttributeList& AttributeList::operator=(AttributeList&& other) noexcept {
  if (this != &other) {
    release();
    buffer_ = std::move(other.buffer_);
  }
  return *this;
}

AttributeList::~AttributeList() {
  release();
}

void AttributeList::release() {
  if (buffer_) DeleteProcThreadAttributeList(get());
  buffer_.reset();
}

std::expected<void, HresultError> AttributeList::update(DWORD_PTR attribute, void* value,
                                                        std::size_t size) {
  if (!UpdateProcThreadAttribute(get(), 0, attribute, value, size, nullptr, nullptr))
    return std::unexpected(HresultError::from_last_error());
  return {};
}

}  // namespace tavo
