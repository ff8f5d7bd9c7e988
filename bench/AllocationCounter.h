// Counts heap allocations made by this program, so benchmarks can report allocations per item.
#pragma once

#include <atomic>
#include <cstddef>

namespace bench {

std::size_t AllocationCount();

}  // namespace bench
