#include "platform/Waitable.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/Futex.h"
#include "platform/SpinWait.h"

namespace platform {

namespace posix {

void FutexWait(const void* address, std::uint32_t expected, DWORD timeoutMs) {
  timespec relative{};
  timespec* limit = nullptr;
  if (timeoutMs != INFINITE_TIMEOUT) {
    relative.tv_sec = timeoutMs / 1000;
    relative.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
    limit = &relative;
  }
  // FUTEX_WAIT measures a relative time-out on the monotonic clock.
  syscall(SYS_futex, address, FUTEX_WAIT_PRIVATE, expected, limit, nullptr, 0);
}

void FutexWake(const void* address, int count) {
  syscall(SYS_futex, address, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

}  // namespace posix

// One per thread: the word it sleeps on while it waits.
class Waiter {
 public:
  static Waiter& ForThisThread() {
    thread_local Waiter waiter;
    return waiter;
  }
  void Arm() { m_word.store(0, std::memory_order_seq_cst); }
  // A thread that is already awake costs no system call.
  void Wake() {
    if (m_word.exchange(1, std::memory_order_seq_cst) == 0) posix::FutexWake(&m_word, 1);
  }
  void Sleep(DWORD timeoutMs) { posix::FutexWait(&m_word, 0, timeoutMs); }

 private:
  std::atomic<std::uint32_t> m_word{0};
};

void Waitable::Register(Waiter* waiter) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_waiters.push_back(waiter);
  OnRegisteredChanged(+1);
}

void Waitable::Unregister(Waiter* waiter) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = std::find(m_waiters.begin(), m_waiters.end(), waiter);
  if (it == m_waiters.end()) return;
  m_waiters.erase(it);
  OnRegisteredChanged(-1);
}

void Waitable::WakeRegisteredLocked() {
  for (Waiter* waiter : m_waiters) waiter->Wake();
}

bool Waitable::Wait(DWORD timeoutMs) {
  Waitable* self = this;
  return WaitForAny(&self, 1, timeoutMs) == 0;
}

std::size_t WaitForAny(Waitable* const* objects, std::size_t count, DWORD timeoutMs) {
  auto poll = [&]() -> std::size_t {
    for (std::size_t i = 0; i < count; ++i)
      if (objects[i]->TryAcquire()) return i;
    return kWaitTimeout;
  };
  std::size_t hit = poll();
  if (hit != kWaitTimeout || timeoutMs == 0) return hit;
  if (SpinUntil([&] { return (hit = poll()) != kWaitTimeout; })) return hit;
  using Clock = std::chrono::steady_clock;
  const bool infinite = timeoutMs == INFINITE_TIMEOUT;
  const Clock::time_point deadline = infinite ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
  Waiter& waiter = Waiter::ForThisThread();
  waiter.Arm();
  for (std::size_t i = 0; i < count; ++i) objects[i]->Register(&waiter);
  for (;;) {
    // Checked after registering, so a signal between the check and the sleep still wakes us.
    if ((hit = poll()) != kWaitTimeout) break;
    DWORD left = infinite ? INFINITE_TIMEOUT : RemainingMs(deadline);
    if (left == 0) break;
    waiter.Sleep(left);
    waiter.Arm();
  }
  for (std::size_t i = 0; i < count; ++i) objects[i]->Unregister(&waiter);
  return hit;
}

}  // namespace platform
