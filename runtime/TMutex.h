// Mutex functions and the owning mutex TMutexEx.
//
// A mutex is recursive for its owning thread. TMutex_Wait is true only when the mutex was
// acquired normally: a time-out gives false silently; an abandoned mutex (its owner thread ended
// holding it; the caller now owns it) or a failed wait prints
// "TMutex_Wait: Return Code (%x) Last Error (%x)\n" through TConsole and gives false.
// Time-outs are milliseconds: 0 only tries, 0xFFFFFFFF waits without limit.
#pragma once

#include <memory>

#include "platform/RecursiveMutex.h"

using TMutexHandle = platform::RecursiveMutex*;

// A new unnamed mutex that nobody owns (never null).
TMutexHandle TMutex_Create();
bool TMutex_Wait(TMutexHandle mutex, platform::DWORD timeoutMs);
bool TMutex_Release(TMutexHandle mutex);
bool TMutex_Close(TMutexHandle mutex);

// Owns one mutex for its whole life.
class TMutexEx {
 public:
  TMutexEx() : m_handle(TMutex_Create()) {}
  TMutexEx(const TMutexEx&) = delete;
  TMutexEx& operator=(const TMutexEx&) = delete;

  TMutexHandle GetHandle() const { return m_handle.get(); }

 private:
  struct Closer {
    void operator()(TMutexHandle mutex) const { TMutex_Close(mutex); }
  };
  std::unique_ptr<platform::RecursiveMutex, Closer> m_handle;
};
