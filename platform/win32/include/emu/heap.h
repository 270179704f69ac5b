// Control side of the stand-in's heaps, for tests: live blocks per heap and frees the heap did not own.
#pragma once

#include <cstddef>

#include "bvwin/base.h"

namespace emu {

// Blocks allocated from the heap and not yet freed; 0 for an unknown heap.
size_t heapLiveBlocks(HANDLE heap);
// HeapFree calls, on any heap, with a block that heap did not hold (double or foreign frees).
size_t heapInvalidFrees();

} // namespace emu
