// Futex calls on a 32-bit word. Private to platform/.
#pragma once

#include <cstdint>

#include "platform/Win32Types.h"

namespace platform::posix {

// Sleeps while the 32-bit word at address equals expected, for at most timeoutMs
// (INFINITE_TIMEOUT: no limit) on the monotonic clock. Returns on a wake, a time-out, a signal
// or a changed word: callers re-check.
void FutexWait(const void* address, std::uint32_t expected, DWORD timeoutMs);

// Wakes up to count threads sleeping on the word. Harmless on a word that is no longer in use:
// at worst some other waiter of the address wakes spuriously and re-checks.
void FutexWake(const void* address, int count);

}  // namespace platform::posix
