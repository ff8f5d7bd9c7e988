// A lock for critical sections of a few instructions (a push or a pop of a ring): a waiter spins
// briefly and then yields its core instead of sleeping, so an uncontended lock and unlock cost
// one atomic operation each and a contended one no system call in the common case.
// Not recursive. Satisfies BasicLockable, for std::lock_guard.
#pragma once

#include <atomic>
#include <thread>

#include "platform/SpinWait.h"

namespace platform {

class SpinLock {
 public:
  void lock() {
    while (m_locked.exchange(true, std::memory_order_acquire)) {
      int rounds = 0;
      while (m_locked.load(std::memory_order_relaxed)) {
        if (++rounds < 64) {
          CpuRelax();
        } else {
          // The holder may have lost its core: give it ours.
          std::this_thread::yield();
          rounds = 0;
        }
      }
    }
  }
  bool try_lock() { return !m_locked.load(std::memory_order_relaxed) && !m_locked.exchange(true, std::memory_order_acquire); }
  void unlock() { m_locked.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> m_locked{false};
};

}  // namespace platform
