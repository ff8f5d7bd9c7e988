// The memory of functors. Functors are made on one thread and deleted on another (the poster's
// and the worker's), which makes the general heap hand its blocks across threads under a lock.
// This pool keeps freed blocks in a cache per thread; a cache that grows hands a batch of blocks
// to a shared depot, and a thread whose cache is empty takes a batch from it. Blocks are kept
// for reuse, never given back to the system. Blocks larger than the pool's size classes come
// from the general heap. Under AddressSanitizer every block comes from the general heap, so that
// use-after-free is still found.
#pragma once

#include <cstddef>

namespace functor_pool {

void* Allocate(std::size_t size);
void Release(void* block, std::size_t size);

}  // namespace functor_pool
