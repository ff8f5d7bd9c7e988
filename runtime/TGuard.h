// Scoped locks. TGuard holds a mutex (waited for without limit) or a critical section; TGuardEx
// holds a TMutexEx. Both release what they hold when they go out of scope. Neither has a
// time-out: deadlock avoidance is the callers' lock order.
#pragma once

#include "runtime/TCriticalSection.h"
#include "runtime/TMutex.h"

class TGuard {
 public:
  // Waits for the mutex when it is not null.
  explicit TGuard(TMutexHandle mutex) : m_mutex(mutex) {
    if (m_mutex != nullptr) TMutex_Wait(m_mutex, platform::INFINITE_TIMEOUT);
  }
  // Enters the critical section when it is not null.
  explicit TGuard(TCriticalSection* section) : m_section(section) {
    if (m_section != nullptr) m_section->Enter();
  }
  virtual ~TGuard() {
    if (m_mutex != nullptr) TMutex_Release(m_mutex);
    if (m_section != nullptr) m_section->Leave();
  }
  TGuard(const TGuard&) = delete;
  TGuard& operator=(const TGuard&) = delete;

 private:
  TMutexHandle m_mutex = nullptr;
  TCriticalSection* m_section = nullptr;
};

class TGuardEx {
 public:
  explicit TGuardEx(TMutexEx* mutex) : m_mutex(mutex) {
    if (m_mutex != nullptr && m_mutex->GetHandle() != nullptr) TMutex_Wait(m_mutex->GetHandle(), platform::INFINITE_TIMEOUT);
  }
  virtual ~TGuardEx() {
    if (m_mutex != nullptr && m_mutex->GetHandle() != nullptr) TMutex_Release(m_mutex->GetHandle());
  }
  TGuardEx(const TGuardEx&) = delete;
  TGuardEx& operator=(const TGuardEx&) = delete;

 private:
  TMutexEx* m_mutex;
};
