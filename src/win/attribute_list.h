// An owner of a process start-up attribute list: the buffer the list lives in and the list's
// own resources, released with DeleteProcThreadAttributeList before the buffer goes.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>

#include "win/api.h"
#include "win/error.h"

namespace tavo {

class AttributeList {
 public:
  // A list with room for `count` attributes: a size query, a zero-filled buffer of that size,
  // then the initialisation, whose failure is the error.
  static std::expected<AttributeList, HresultError> create(DWORD count);

  AttributeList(AttributeList&& other) noexcept = default;
  AttributeList& operator=(AttributeList&& other) noexcept;
  AttributeList(const AttributeList&) = delete;
  AttributeList& operator=(const AttributeList&) = delete;
  ~AttributeList();

  // Sets one attribute. The value is not copied: it must outlive the process creation.
  std::expected<void, HresultError> update(DWORD_PTR attribute, void* value, std::size_t size);

  LPPROC_THREAD_ATTRIBUTE_LIST get() const {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.get());
  }

 private:
  AttributeList(std::unique_ptr<std::byte[]> buffer) : buffer_(std::move(buffer)) {}
  void release();

  std::unique_ptr<std::byte[]> buffer_;  // null once moved from: nothing to delete
};

}  // namespace tavo
