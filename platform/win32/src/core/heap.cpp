// Heaps: the process heap and HeapCreate heaps, each knowing its live blocks, so tests can count them and a free of a
// block the heap does not hold fails instead of corrupting anything.
#include <windows.h>
#include "emu/emu.h"
#include "emu/heap.h"

#include <cstdlib>
#include <malloc.h>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace {

struct Heap {
  std::unordered_set<void *> blocks;
};

struct Heaps {
  std::mutex mutex;
  Heap process;
  std::unordered_map<HANDLE, Heap *> created;
  size_t invalidFrees = 0;
};

Heaps &heaps() {
  static Heaps *h = new Heaps; // outlives static destructors that still free blocks
  return *h;
}

int g_processHeap;

// The heap behind a handle, or null; called with the lock held.
Heap *find(Heaps &h, HANDLE handle) {
  if (handle == &g_processHeap) return &h.process;
  auto it = h.created.find(handle);
  return it == h.created.end() ? nullptr : it->second;
}

} // namespace

extern "C" HANDLE WINAPI GetProcessHeap(void) { return &g_processHeap; }

extern "C" HANDLE WINAPI HeapCreate(DWORD, SIZE_T, SIZE_T) {
  EMU_FAIL_POINT("HeapCreate", nullptr);
  Heaps &h = heaps();
  std::lock_guard<std::mutex> lock(h.mutex);
  Heap *heap = new Heap;
  h.created.emplace(static_cast<HANDLE>(heap), heap);
  return static_cast<HANDLE>(heap);
}

extern "C" BOOL WINAPI HeapDestroy(HANDLE hHeap) {
  EMU_FAIL_POINT("HeapDestroy", FALSE);
  Heaps &h = heaps();
  std::lock_guard<std::mutex> lock(h.mutex);
  auto it = h.created.find(hHeap);
  if (it == h.created.end()) { // the process heap is never destroyed
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  for (void *block : it->second->blocks) std::free(block);
  delete it->second;
  h.created.erase(it);
  return TRUE;
}

extern "C" LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  EMU_FAIL_POINT("HeapAlloc", nullptr);
  Heaps &h = heaps();
  std::lock_guard<std::mutex> lock(h.mutex);
  Heap *heap = find(h, hHeap);
  if (!heap) { // Windows faults on a heap handle that is not one; we refuse
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void *p = (dwFlags & HEAP_ZERO_MEMORY) ? std::calloc(1, dwBytes ? dwBytes : 1) : std::malloc(dwBytes ? dwBytes : 1);
  if (!p) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  heap->blocks.insert(p);
  return p;
}

extern "C" LPVOID WINAPI HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes) {
  EMU_FAIL_POINT("HeapReAlloc", nullptr);
  Heaps &h = heaps();
  std::lock_guard<std::mutex> lock(h.mutex);
  Heap *heap = find(h, hHeap);
  if (!heap || !lpMem || !heap->blocks.count(lpMem)) {
    SetLastError(heap ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return nullptr;
  }
  size_t old = malloc_usable_size(lpMem);
  void *p = std::realloc(lpMem, dwBytes ? dwBytes : 1);
  if (!p) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  heap->blocks.erase(lpMem);
  heap->blocks.insert(p);
  if ((dwFlags & HEAP_ZERO_MEMORY) && dwBytes > old) std::memset(static_cast<char *>(p) + old, 0, dwBytes - old);
  return p;
}

extern "C" BOOL WINAPI HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem) {
  if (!lpMem) return TRUE;
  Heaps &h = heaps();
  std::lock_guard<std::mutex> lock(h.mutex);
  Heap *heap = find(h, hHeap);
  if (!heap || !heap->blocks.erase(lpMem)) {
    ++h.invalidFrees;
    SetLastError(heap ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::free(lpMem);
  return TRUE;
}

extern "C" SIZE_T WINAPI HeapSize(HANDLE, DWORD, LPCVOID lpMem) {
  return lpMem ? malloc_usable_size(const_cast<void *>(lpMem)) : static_cast<SIZE_T>(-1);
}

extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  return HeapAlloc(GetProcessHeap(), (uFlags & LMEM_ZEROINIT) ? HEAP_ZERO_MEMORY : 0, uBytes);
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  if (hMem && !HeapFree(GetProcessHeap(), 0, hMem)) return hMem; // documented: the handle back on failure
  return nullptr;
}

namespace emu {

size_t heapLiveBlocks(HANDLE heap) {
  Heaps &h = heaps();
  std::lock_guard<std::mutex> lock(h.mutex);
  Heap *found = find(h, heap);
  return found ? found->blocks.size() : 0;
}

size_t heapInvalidFrees() {
  Heaps &h = heaps();
  std::lock_guard<std::mutex> lock(h.mutex);
  return h.invalidFrees;
}

} // namespace emu
