// Counting what lives on the heaps of this process, to see that calls give
// back everything they take.
#pragma once

#include <cstddef>

namespace axqvr::test {

// The number of allocated blocks in every heap of the process (the
// process heap, where local memory lives, and the C runtime's heap, where
// the plug-in's working buffers live), walked with HeapWalk. Allocates
// nothing itself.
std::size_t LiveHeapBlocks();

}  // namespace axqvr::test
