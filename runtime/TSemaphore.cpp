#include "runtime/TSemaphore.h"

#include <algorithm>

#include "modules/TConsole.h"
#include "platform/Thread.h"
#include "platform/ThreadMessages.h"

namespace {

constexpr platform::DWORD kWaitFailed = 0xFFFFFFFF;
constexpr platform::DWORD kPumpSlice = 50;

bool WaitWithLine(TSemaphoreHandle semaphore, platform::DWORD timeoutMs, const char16_t* line) {
  if (semaphore == nullptr) {
    TConsole::Print(line, kWaitFailed, platform::ERROR_INVALID_HANDLE);
    return false;
  }
  return semaphore->Wait(timeoutMs);
}

}  // namespace

TSemaphoreHandle TSemaphore_Create(platform::LONG initialCount, platform::LONG maximumCount) {
  return new platform::Semaphore(initialCount, maximumCount);
}

bool TSemaphore_Wait(TSemaphoreHandle semaphore, platform::DWORD timeoutMs) {
  return WaitWithLine(semaphore, timeoutMs, u"TSemaphore_Wait: Return Code (%x) Last Error (%x)\n");
}

bool TSemaphore_WaitAlterable(TSemaphoreHandle semaphore, platform::DWORD timeoutMs) {
  return WaitWithLine(semaphore, timeoutMs, u"TSemaphore_WaitAlterable: Return Code (%x) Last Error (%x)\n");
}

bool TSemaphore_WaitPumpingMessages(TSemaphoreHandle semaphore, platform::DWORD timeoutMs) {
  if (semaphore == nullptr) return false;
  const platform::DWORD start = platform::GetTickCount();
  for (;;) {
    platform::DWORD slice = kPumpSlice;
    if (timeoutMs != platform::INFINITE_TIMEOUT) {
      // Checked before every wait, so a stream of messages cannot hold the wait past its time-out.
      platform::DWORD elapsed = platform::GetTickCount() - start;
      if (elapsed >= timeoutMs) return semaphore->Wait(0);
      slice = std::min(slice, timeoutMs - elapsed);
    }
    platform::MessageWait result = platform::WaitForObjectOrMessage(semaphore, slice);
    if (result == platform::MessageWait::Signalled) return true;
    if (result == platform::MessageWait::Timeout) continue;
    platform::ThreadMessage message;
    if (!platform::PeekMessage(&message, true)) continue;
    if (message.message == platform::WM_QUIT) return false;
    platform::TranslateMessage(message);
    platform::DispatchMessage(message);
  }
}

bool TSemaphore_Release(TSemaphoreHandle semaphore, platform::LONG count) {
  return semaphore != nullptr && semaphore->Release(count);
}

bool TSemaphore_Close(TSemaphoreHandle semaphore) {
  delete semaphore;
  return semaphore != nullptr;
}
