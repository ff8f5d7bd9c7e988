// A Win32-style counting semaphore with a maximum count.
//
// Emulates: an initial and a maximum count; a wait takes one count; a release adds counts and
// fails, changing nothing, when the count would pass the maximum. Leaves out: names, and sharing
// between processes.
// Cost: taking and releasing without contention is one atomic operation each; a release makes a
// system call only when a thread sleeps on the semaphore and no wake is already under way; a
// waiter spins briefly before it sleeps. A thread waiting for this semaphore alone sleeps on its
// count; one waiting for several objects (WaitForAny) is woken through its registration.
// A thread that took a count may destroy the semaphore at once, even while the releasing thread
// is still inside Release. Time-outs: 0 only tests, INFINITE_TIMEOUT waits without limit.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Waitable.h"

namespace platform {

class Semaphore : public Waitable {
 public:
  Semaphore(LONG initialCount, LONG maximumCount);

  bool TryAcquire() override;
  // Takes every count there is at once, without waiting; returns how many.
  LONG TakeAll();
  bool Wait(DWORD timeoutMs) override;
  // Adds count (at least 1); *previous (may be null) receives the count before.
  bool Release(LONG count, LONG* previous = nullptr);
  LONG Count() const;
  LONG Maximum() const { return m_maximum; }

 protected:
  void OnRegisteredChanged(int delta) override;

 private:
  // One word, so that a release learns everything it must act on in the operation that
  // publishes it: bits 0-31 the count (the futex word), 32-46 the threads asleep on it, 47 a
  // wake under way, 48-63 the registered waiters.
  std::atomic<std::uint64_t> m_state;
  const LONG m_maximum;
};

}  // namespace platform
