// The waiting machinery shared by every synchronisation object of the platform layer: semaphores,
// events and thread message queues are Waitables, and a thread waits for any set of them at once
// (the equivalent of WaitForMultipleObjects and MsgWaitForMultipleObjects).
//
// Each thread owns one waiter word. A thread waiting for several objects registers its word with
// each, checks them, and sleeps on its own word; an object that becomes signalled wakes the
// threads registered with it. Checking after registering means no wake-up is ever lost.
//
// Destruction: a thread that acquired an object may destroy it at once (a completion signal on
// its stack, say), even while the thread that signalled it is still returning. Objects keep the
// number of registered waiters in the same atomic word as their signalled state, so a signal
// learns of registered waiters in the one operation that publishes it; when there are some, it
// publishes under the registration lock, which those waiters must take before they can leave.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "platform/Win32Types.h"

namespace platform {

class Waiter;

class Waitable {
 public:
  Waitable() = default;
  Waitable(const Waitable&) = delete;
  Waitable& operator=(const Waitable&) = delete;
  virtual ~Waitable() = default;

  // Takes the object if it is signalled: consumes a semaphore count or an auto-reset event,
  // leaves a manual-reset event or a message queue as it is. True when signalled.
  virtual bool TryAcquire() = 0;

  // Waits for this object alone. True when it was acquired within the time-out (0 only tests,
  // INFINITE_TIMEOUT waits without limit). A short spin comes before any sleep.
  virtual bool Wait(DWORD timeoutMs);

 protected:
  // Records, under the registration lock, that a waiter registered (+1) or left (-1).
  virtual void OnRegisteredChanged(int delta) = 0;

  // Runs publish() under the registration lock, then wakes every registered waiter.
  template <class Publish>
  void PublishToRegistered(Publish publish) {
    std::lock_guard<std::mutex> guard(m_lock);
    publish();
    WakeRegisteredLocked();
  }

 private:
  friend std::size_t WaitForAny(Waitable* const* objects, std::size_t count, DWORD timeoutMs);

  void Register(Waiter* waiter);
  void Unregister(Waiter* waiter);
  void WakeRegisteredLocked();

  std::mutex m_lock;
  std::vector<Waiter*> m_waiters;  // guarded by m_lock
};

// Result of WaitForAny when nothing was signalled within the time-out.
constexpr std::size_t kWaitTimeout = static_cast<std::size_t>(-1);

// Waits until one of the objects can be acquired and acquires it (the first signalled one in
// array order when several are); returns its index, or kWaitTimeout.
std::size_t WaitForAny(Waitable* const* objects, std::size_t count, DWORD timeoutMs);

}  // namespace platform
