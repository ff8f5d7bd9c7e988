#include "platform/Semaphore.h"

#include <algorithm>
#include <chrono>

#include "platform/Futex.h"
#include "platform/SpinWait.h"

namespace platform {
namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the count must be the low half of the state word");

constexpr std::uint64_t kCountMask = 0xFFFFFFFFull;
constexpr std::uint64_t kSleeper = 1ull << 32;
constexpr std::uint64_t kSleeperMask = 0x7FFFull << 32;
constexpr std::uint64_t kWakePending = 1ull << 47;
constexpr std::uint64_t kRegistered = 1ull << 48;

constexpr LONG CountOf(std::uint64_t state) { return static_cast<LONG>(state & kCountMask); }

}  // namespace

Semaphore::Semaphore(LONG initialCount, LONG maximumCount)
    // The initial count is held to the maximum as corrected, so that a maximum below 1 cannot
    // make it negative and spill into the other fields of the state word.
    : m_state(static_cast<std::uint64_t>(std::clamp<LONG>(initialCount, 0, maximumCount < 1 ? 1 : maximumCount))),
      m_maximum(maximumCount < 1 ? 1 : maximumCount) {}

LONG Semaphore::Count() const { return CountOf(m_state.load(std::memory_order_relaxed)); }

bool Semaphore::TryAcquire() {
  std::uint64_t state = m_state.load(std::memory_order_relaxed);
  while ((state & kCountMask) != 0)
    if (m_state.compare_exchange_weak(state, state - 1, std::memory_order_seq_cst)) return true;
  return false;
}

LONG Semaphore::TakeAll() {
  std::uint64_t state = m_state.load(std::memory_order_relaxed);
  while ((state & kCountMask) != 0)
    if (m_state.compare_exchange_weak(state, state & ~kCountMask, std::memory_order_seq_cst)) return CountOf(state);
  return 0;
}

bool Semaphore::Wait(DWORD timeoutMs) {
  if (TryAcquire()) return true;
  if (timeoutMs == 0) return false;
  if (SpinUntil([this] { return (m_state.load(std::memory_order_relaxed) & kCountMask) != 0 && TryAcquire(); }))
    return true;
  using Clock = std::chrono::steady_clock;
  const bool infinite = timeoutMs == INFINITE_TIMEOUT;
  const auto deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : timeoutMs);
  // Wake-ups: a release wakes one sleeper unless a wake is already under way. Every thread
  // coming out of the futex clears that flag before it looks at the count, and a thread leaving
  // while counts remain and others sleep wakes the next one, so a skipped wake is always made up
  // by the thread that received the earlier one.
  m_state.fetch_add(kSleeper, std::memory_order_seq_cst);
  bool taken = false;
  for (;;) {
    m_state.fetch_and(~kWakePending, std::memory_order_seq_cst);
    // Checked after announcing the sleep, so a release in between is never missed.
    if ((taken = TryAcquire())) break;
    DWORD left = infinite ? INFINITE_TIMEOUT : RemainingMs(deadline);
    if (left == 0) break;
    posix::FutexWait(&m_state, 0, left);
  }
  std::uint64_t after = m_state.fetch_sub(kSleeper, std::memory_order_seq_cst) - kSleeper;
  if ((after & kSleeperMask) != 0 && (after & kCountMask) != 0) {
    m_state.fetch_or(kWakePending, std::memory_order_seq_cst);
    posix::FutexWake(&m_state, 1);
  }
  return taken;
}

bool Semaphore::Release(LONG count, LONG* previous) {
  // Publishes the new count in one compare-and-swap that also says whom to wake. Nothing of the
  // object is touched after it, but for a futex wake on its address, since a waiter may take the
  // count and destroy the semaphore at once.
  auto publish = [&](std::uint64_t& state) -> int {  // 1 done, 0 retry, -1 refused
    LONG current = CountOf(state);
    if (count < 1 || count > m_maximum - current) return -1;
    bool wake = (state & kSleeperMask) != 0 && (state & kWakePending) == 0;
    std::uint64_t next = state + static_cast<std::uint64_t>(count) + (wake ? kWakePending : 0);
    if (!m_state.compare_exchange_strong(state, next, std::memory_order_seq_cst)) return 0;
    if (previous != nullptr) *previous = current;
    if (wake) posix::FutexWake(&m_state, 1);
    return 1;
  };
  std::uint64_t state = m_state.load(std::memory_order_seq_cst);
  for (;;) {
    if ((state & ~(kRegistered - 1)) != 0) {
      // Registered waiters cannot leave while we hold their registration lock.
      int result = 0;
      PublishToRegistered([&] {
        std::uint64_t now = m_state.load(std::memory_order_seq_cst);
        while ((result = publish(now)) == 0) {
        }
      });
      return result == 1;
    }
    int result = publish(state);
    if (result != 0) return result == 1;
  }
}

void Semaphore::OnRegisteredChanged(int delta) {
  if (delta > 0)
    m_state.fetch_add(kRegistered, std::memory_order_seq_cst);
  else
    m_state.fetch_sub(kRegistered, std::memory_order_seq_cst);
}

}  // namespace platform
