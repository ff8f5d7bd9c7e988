// Thread-affinity checks: TOLVANE_DCHECK_ON_THREAD(threadId) states that the function it stands in
// runs on the given thread (an object's own worker, say).
//
// With the checks on (TOLVANE_THREAD_CHECKS, the build's option: on in debug and test builds, off
// in Release) a call on any other thread writes a line naming the function, the calling thread and
// the expected one to stderr and aborts the process. With them off the macro compiles to nothing
// and its argument is not evaluated.
#pragma once

#include "platform/Thread.h"
#include "platform/Win32Types.h"

#if !defined(TOLVANE_THREAD_CHECKS)
#define TOLVANE_THREAD_CHECKS 0
#endif

namespace platform {

// Reports a failed check and aborts.
[[noreturn]] void ThreadCheckFailed(const char* function, DWORD expectedThreadId, DWORD callingThreadId);

inline void CheckOnThread(DWORD expectedThreadId, const char* function) {
  DWORD calling = CurrentThreadId();
  if (calling != expectedThreadId) ThreadCheckFailed(function, expectedThreadId, calling);
}

}  // namespace platform

#if TOLVANE_THREAD_CHECKS
#define TOLVANE_DCHECK_ON_THREAD(threadId) ::platform::CheckOnThread((threadId), __PRETTY_FUNCTION__)
#else
#define TOLVANE_DCHECK_ON_THREAD(threadId) static_cast<void>(sizeof(threadId))
#endif
