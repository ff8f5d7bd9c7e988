// A critical section: a lock recursive for its owning thread, entered and left by plain calls.
#pragma once

#include <mutex>

class TCriticalSection {
 public:
  TCriticalSection() = default;
  virtual ~TCriticalSection() = default;
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;

  void Enter() { m_lock.lock(); }
  void Leave() { m_lock.unlock(); }

 private:
  std::recursive_mutex m_lock;
};
