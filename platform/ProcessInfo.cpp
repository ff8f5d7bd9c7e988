#include "platform/ProcessInfo.h"

#include <cstdio>
#include <cstring>

namespace platform {

ProcessMemory ReadProcessMemory() {
  ProcessMemory memory;
  FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return memory;
  const struct {
    const char* name;
    std::uint64_t ProcessMemory::*figure;
  } kFigures[] = {{"VmRSS:", &ProcessMemory::workingSet},
                  {"VmHWM:", &ProcessMemory::peakWorkingSet},
                  {"VmSize:", &ProcessMemory::vmSize},
                  {"VmPeak:", &ProcessMemory::peakVmSize}};
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    for (const auto& entry : kFigures) {
      std::size_t length = std::strlen(entry.name);
      unsigned long long kilobytes = 0;
      // The kernel gives these in kB (units of 1024 bytes).
      if (std::strncmp(line, entry.name, length) == 0 && std::sscanf(line + length, "%llu kB", &kilobytes) == 1)
        memory.*entry.figure = kilobytes * 1024;
    }
  }
  std::fclose(status);
  return memory;
}

}  // namespace platform
