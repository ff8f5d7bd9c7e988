// Threads: ids, the common start routine, and the 32-bit millisecond tick counter.
#pragma once

#include <functional>
#include <thread>

#include "platform/Win32Types.h"

namespace platform {

// The kernel id of the calling thread (fits in 32 bits, never 0).
DWORD CurrentThreadId();

// Starts a thread through the common start routine: names it (the first 15 characters show in
// tools), runs the per-thread initialisation hook, then fn, then the per-thread clean-up hook.
// Every thread the system starts begins here.
std::thread StartThread(const char* name, std::function<void()> fn);

// Milliseconds of the monotonic clock, truncated to 32 bits: wraps every 49.7 days.
DWORD GetTickCount();

// Replaces the clock behind GetTickCount, so tests can place the counter anywhere (just before
// its wrap, say). Null restores the monotonic clock.
using TickSource = DWORD (*)();
void SetTickSourceForTesting(TickSource source);

// Sets the scheduling priority of a thread on the 1 (highest) to 7 (lowest) scale; ignored
// where the process lacks the privilege. False for a level outside the scale.
bool SetThreadPriorityLevel(DWORD threadId, int level);

}  // namespace platform
