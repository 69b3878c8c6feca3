// RAII owners for what platform calls hand out. Each owner releases its resource once, with the
// function that resource's kind requires, and cannot be copied. A release keeps the thread's last
// error: an owner that goes out of scope between a failed call and the GetLastError that reports
// it does not change the report.
#pragma once

#include <utility>

#include "win/api.h"

namespace tavo {

// Runs a release call and leaves the thread's last error as it was before.
template <class Release>
void keeping_last_error(Release release) {
  const DWORD error = GetLastError();
  release();
  SetLastError(error);
}

// An owner of one resource of a kind described by Traits:
//   using pointer = ...;                 the resource's type
//   static pointer invalid();            the value that holds nothing
//   static bool holds(pointer);          whether a value needs releasing
//   static void release(pointer);        the release call
template <class Traits>
class UniqueResource {
 public:
  using pointer = typename Traits::pointer;

  UniqueResource() = default;
  explicit UniqueResource(pointer value) : value_(value) {}
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { reset(); }

  pointer get() const { return value_; }
  explicit operator bool() const { return Traits::holds(value_); }

  // Gives up ownership without releasing.
  pointer release() { return std::exchange(value_, Traits::invalid()); }
  void reset(pointer value = Traits::invalid()) {
    pointer old = std::exchange(value_, value);
    if (Traits::holds(old)) keeping_last_error([old] { Traits::release(old); });
  }
  // For out-parameters: releases what is held and exposes the slot.
  pointer* put() {
    reset();
    return &value_;
  }

 private:
  pointer value_ = Traits::invalid();
};

struct HandleTraits {
  using pointer = HANDLE;
  static pointer invalid() { return nullptr; }
  static bool holds(pointer h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void release(pointer h) { CloseHandle(h); }  // its result is of no use here
};

struct FindHandleTraits {
  using pointer = HANDLE;
  static pointer invalid() { return INVALID_HANDLE_VALUE; }
  static bool holds(pointer h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void release(pointer h) { FindClose(h); }
};

template <class T>
struct LocalTraits {
  using pointer = T*;
  static pointer invalid() { return nullptr; }
  static bool holds(pointer p) { return p != nullptr; }
  static void release(pointer p) { LocalFree(const_cast<void*>(static_cast<const void*>(p))); }
};

struct SidTraits {
  using pointer = PSID;
  static pointer invalid() { return nullptr; }
  static bool holds(pointer p) { return p != nullptr; }
  static void release(pointer p) { FreeSid(p); }
};

// A kernel handle released with CloseHandle.
using unique_handle = UniqueResource<HandleTraits>;
// A directory search released with FindClose.
using unique_find_handle = UniqueResource<FindHandleTraits>;
// Memory a call allocated with LocalAlloc for its caller (messages, descriptors, ACLs, strings).
template <class T>
using unique_local = UniqueResource<LocalTraits<T>>;
// A SID the security or AppContainer profile functions allocated, released with FreeSid.
using unique_sid = UniqueResource<SidTraits>;

// Memory a call allocated on a heap for its caller, released with HeapFree on that heap (the
// network-isolation functions use the process heap). The heap is held from the start: asking for
// it again at release could fail, and the memory would leak.
template <class T>
class unique_heap {
 public:
  unique_heap() = default;
  unique_heap(HANDLE heap, T* memory) : heap_(heap), memory_(memory) {}
  unique_heap(unique_heap&& other) noexcept : heap_(other.heap_), memory_(other.release()) {}
  unique_heap& operator=(unique_heap&& other) noexcept {
    if (this != &other) {
      reset();
      heap_ = other.heap_;
      memory_ = other.release();
    }
    return *this;
  }
  unique_heap(const unique_heap&) = delete;
  unique_heap& operator=(const unique_heap&) = delete;
  ~unique_heap() { reset(); }

  T* get() const { return memory_; }
  explicit operator bool() const { return memory_ != nullptr; }

  // Gives up ownership without releasing.
  T* release() { return std::exchange(memory_, nullptr); }
  void reset() {
    void* old = const_cast<void*>(static_cast<const void*>(release()));
    if (old != nullptr) keeping_last_error([this, old] { HeapFree(heap_, 0, old); });
  }

 private:
  HANDLE heap_ = nullptr;
  T* memory_ = nullptr;
};

}  // namespace tavo
