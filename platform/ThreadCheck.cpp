#include "platform/ThreadCheck.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

void ThreadCheckFailed(const char* function, DWORD expectedThreadId, DWORD callingThreadId) {
  std::fprintf(stderr, "Thread check failed: %s called on thread %u, belongs to thread %u\n", function,
               static_cast<unsigned>(callingThreadId), static_cast<unsigned>(expectedThreadId));
  std::fflush(stderr);
  std::abort();
}

}  // namespace platform
