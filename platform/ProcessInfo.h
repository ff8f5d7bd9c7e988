// The memory figures of the current process.
//
// Emulates: the process memory counters, as bytes: the working set and its peak are VmRSS and
// VmHWM, the VM size (committed memory) and its peak are VmSize and VmPeak of /proc/self/status.
// Leaves out the page-fault count and the pool figures.
#pragma once

#include <cstdint>

namespace platform {

struct ProcessMemory {
  std::uint64_t workingSet = 0;
  std::uint64_t peakWorkingSet = 0;
  std::uint64_t vmSize = 0;
  std::uint64_t peakVmSize = 0;
};

// All four are 0 when the figures cannot be read; one that is missing stays 0 alone.
ProcessMemory ReadProcessMemory();

}  // namespace platform
