// Semaphore functions over counting semaphores with a maximum.
//
// The waits are true only when the semaphore was signalled (one count taken). A time-out gives
// false silently; a failed wait (a null handle) prints its error line through TConsole and gives
// false. Time-outs are milliseconds: 0 only tests, 0xFFFFFFFF waits without limit.
#pragma once

#include "platform/Semaphore.h"

using TSemaphoreHandle = platform::Semaphore*;

TSemaphoreHandle TSemaphore_Create(platform::LONG initialCount, platform::LONG maximumCount);
bool TSemaphore_Wait(TSemaphoreHandle semaphore, platform::DWORD timeoutMs);
// There are no asynchronous procedure calls to run here, so this is the plain wait with its
// own error line.
bool TSemaphore_WaitAlterable(TSemaphoreHandle semaphore, platform::DWORD timeoutMs);
// Waits while dispatching the calling thread's posted messages, in slices of at most 50 ms. False
// on a time-out, on a failure, and when WM_QUIT arrives first (the quit message is consumed). The
// time-out holds however many messages arrive: a finite wait ends within one slice (plus the
// dispatch in progress) of its expiry; 0 only tests the semaphore, dispatching nothing.
bool TSemaphore_WaitPumpingMessages(TSemaphoreHandle semaphore, platform::DWORD timeoutMs);
// Adds count; false (and nothing changes) past the maximum.
bool TSemaphore_Release(TSemaphoreHandle semaphore, platform::LONG count);
bool TSemaphore_Close(TSemaphoreHandle semaphore);
