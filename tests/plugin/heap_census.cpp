#include "heap_census.h"

#include <windows.h>

namespace axqvr::test {

std::size_t LiveHeapBlocks() {
    // On the stack: counting must not change the count.
    HANDLE heaps[256];
    const DWORD count = GetProcessHeaps(256, heaps);
    std::size_t blocks = 0;
    for (DWORD i = 0; i < count && i < 256; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry))
            if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) ++blocks;
        HeapUnlock(heaps[i]);
    }
    return blocks;
}

}  // namespace axqvr::test
