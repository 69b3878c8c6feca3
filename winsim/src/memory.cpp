// Local and process-heap memory. Every block winsim hands out comes from malloc, so a block
// released with the wrong function is still freed once; the mistake is recorded.
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace {
// The process heap's handle: any stable non-null value.
int process_heap_tag;
}  // namespace

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  if (DWORD error = enter("LocalAlloc")) return fail<HLOCAL>(error, nullptr);
  void* block = local_alloc(bytes, (flags & LMEM_ZEROINIT) != 0, "LocalAlloc");
  if (block == nullptr) return fail<HLOCAL>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  return block;
}

HLOCAL LocalFree(HLOCAL memory) {
  note("LocalFree");
  if (memory == nullptr) return nullptr;
  if (!untrack(memory, Release::LocalFree)) return fail<HLOCAL>(ERROR_INVALID_HANDLE, memory);
  std::free(memory);
  return nullptr;
}

HANDLE GetProcessHeap() {
  if (DWORD error = enter("GetProcessHeap")) return fail<HANDLE>(error, nullptr);
  return &process_heap_tag;
}

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (DWORD error = enter("HeapAlloc")) return fail<LPVOID>(error, nullptr);
  if (heap != &process_heap_tag) return fail<LPVOID>(ERROR_INVALID_HANDLE, nullptr);
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) return fail<LPVOID>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  if (flags & HEAP_ZERO_MEMORY) std::memset(block, 0, bytes == 0 ? 1 : bytes);
  track(block, Release::HeapFree, "HeapAlloc");
  return block;
}

BOOL HeapFree(HANDLE heap, DWORD /*flags*/, LPVOID memory) {
  note("HeapFree");
  if (memory == nullptr) return TRUE;
  if (heap != &process_heap_tag) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!untrack(memory, Release::HeapFree)) return fail(ERROR_INVALID_PARAMETER, FALSE);
  std::free(memory);
  return TRUE;
}

namespace winsim::detail {

void* heap_alloc(std::size_t bytes, std::string made_by) {
  void* block = std::calloc(1, bytes == 0 ? 1 : bytes);
  if (block != nullptr) track(block, Release::HeapFree, std::move(made_by));
  return block;
}

}  // namespace winsim::detail
