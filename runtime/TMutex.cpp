#include "runtime/TMutex.h"

#include "modules/TConsole.h"

namespace {
constexpr platform::DWORD kWaitAbandoned = 0x80;
constexpr platform::DWORD kWaitFailed = 0xFFFFFFFF;
}  // namespace

TMutexHandle TMutex_Create() { return new platform::RecursiveMutex(); }

bool TMutex_Wait(TMutexHandle mutex, platform::DWORD timeoutMs) {
  platform::LONG error = platform::ERROR_INVALID_HANDLE;
  auto result = mutex != nullptr ? mutex->Lock(timeoutMs, &error) : platform::RecursiveMutex::Result::Failed;
  switch (result) {
    case platform::RecursiveMutex::Result::Acquired: return true;
    case platform::RecursiveMutex::Result::Timeout: return false;
    case platform::RecursiveMutex::Result::Abandoned:
      TConsole::Print(u"TMutex_Wait: Return Code (%x) Last Error (%x)\n", kWaitAbandoned, 0u);
      return false;
    default:
      TConsole::Print(u"TMutex_Wait: Return Code (%x) Last Error (%x)\n", kWaitFailed, error);
      return false;
  }
}

bool TMutex_Release(TMutexHandle mutex) { return mutex != nullptr && mutex->Unlock(); }

bool TMutex_Close(TMutexHandle mutex) {
  delete mutex;
  return mutex != nullptr;
}
