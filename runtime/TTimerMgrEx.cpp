#include "runtime/TTimerMgrEx.h"

#include <ctime>

#include "platform/Thread.h"
#include "runtime/TGuard.h"
#include "runtime/TTimerIface.h"

namespace {

constexpr platform::DWORD kDayMs = 24u * 60u * 60u * 1000u;
constexpr std::int64_t kMinuteMs = 60000;
constexpr platform::DWORD kFirstId = 65536;

// A timer whose next firing lies 2^32 - 24 h or more ahead of now is overdue. Measured from
// now - 24 h, overdue timers come first (the longest overdue first), then the others in order,
// so one unsigned subtraction orders two timers.
platform::DWORD OrderBase(platform::DWORD now) { return now - kDayMs; }
bool Before(platform::DWORD a, platform::DWORD b, platform::DWORD base) { return a - base < b - base; }

// 0 when due or overdue, else the milliseconds left.
platform::DWORD TimeLeft(platform::DWORD nextFiring, platform::DWORD now) {
  platform::DWORD left = nextFiring - now;
  return left >= 0u - kDayMs ? 0 : left;
}

// The period, or for repeat count -2 with a period of a minute or more: the period plus the
// phase past the next whole calendar minute, less one minute. A moment already past moves on by
// whole minutes, so that a negative phase cannot make the timer fire at every turn.
platform::DWORD FirstDelay(const TTimerIface& timer) {
  platform::DWORD period = timer.GetPeriod();
  if (timer.GetRepeatCount() != -2 || period < kMinuteMs) return period;
  std::int64_t s = static_cast<std::uint32_t>(std::time(nullptr));
  std::int64_t delay = std::int64_t{period} + timer.GetPhase() - kMinuteMs + ((s / 60 + 1) * 60 - s) * 1000;
  if (delay <= 0) delay += (-delay / kMinuteMs + 1) * kMinuteMs;
  return static_cast<platform::DWORD>(delay);
}

}  // namespace

TTimerMgrEx::TTimerMgrEx(std::uint32_t capacity)
    : m_capacity(capacity), m_heap(std::make_unique<Entry[]>(std::size_t{capacity} + 1)) {}

TTimerMgrEx::~TTimerMgrEx() = default;

platform::DWORD TTimerMgrEx::Set(TTimerIface* timer) {
  if (timer == nullptr) return 0;
  TGuard guard(&m_lock);
  if (timer->GetId() != 0) return timer->GetId();
  platform::DWORD id = m_nextId++;
  if (m_nextId == 0) m_nextId = kFirstId;  // 0 means "not scheduled"
  timer->SetId(id);
  platform::DWORD now = platform::GetTickCount();
  platform::DWORD nextFiring = now + FirstDelay(*timer);
  timer->SetNextFiring(nextFiring);
  Schedule(timer, nextFiring, now);
  return id;
}

bool TTimerMgrEx::Cancel(TTimerIface* timer) {
  if (timer == nullptr) return false;
  TGuard guard(&m_lock);
  bool removed = InSchedule(timer);
  if (removed) {
    RemoveAt(timer->m_heapIndex, platform::GetTickCount());
    timer->SetNextFiring(0);
  }
  timer->SetId(0);
  return removed;
}

void TTimerMgrEx::Run() {
  TGuard guard(&m_lock);
  if (m_count == 0) return;
  TTimerIface* timer = m_heap[1].timer;
  platform::DWORD now = platform::GetTickCount();
  bool live = timer->GetId() != 0;
  if (live && TimeLeft(m_heap[1].nextFiring, now) != 0) return;
  RemoveAt(1, now);
  if (!live) return;
  try {
    timer->Fire();
  } catch (...) {
    if (!InSchedule(timer)) timer->SetId(0);
    throw;
  }
  if (timer->GetId() == 0 || InSchedule(timer)) return;
  Rearm(timer);
}

TTimerIface* TTimerMgrEx::GetFirstDue() {
  TGuard guard(&m_lock);
  return m_count == 0 ? nullptr : m_heap[1].timer;
}

platform::DWORD TTimerMgrEx::TimeToFirstDue() {
  // An empty schedule is seen without the lock: the worker asks at every turn, and a timer set
  // meanwhile is followed by a wake-up functor, after which the worker asks again.
  if (m_scheduled.load(std::memory_order_relaxed) == 0) return platform::INFINITE_TIMEOUT;
  TGuard guard(&m_lock);
  if (m_count == 0) return platform::INFINITE_TIMEOUT;
  return TimeLeft(m_heap[1].nextFiring, platform::GetTickCount());
}

bool TTimerMgrEx::InSchedule(const TTimerIface* timer) const {
  std::uint32_t index = timer->m_heapIndex;
  return index != 0 && index <= m_count && m_heap[index].timer == timer;
}

// A timer whose id was cleared while it stayed in the schedule is moved, not added twice.
void TTimerMgrEx::Schedule(TTimerIface* timer, platform::DWORD nextFiring, platform::DWORD now) {
  Entry entry{nextFiring, timer};
  if (InSchedule(timer)) {
    std::uint32_t index = timer->m_heapIndex;
    if (index > 1 && Before(nextFiring, m_heap[index / 2].nextFiring, OrderBase(now))) {
      SiftUp(index, entry, now);
    } else {
      SiftDown(index, entry, now);
    }
  } else if (m_count < m_capacity) {
    SiftUp(++m_count, entry, now);
    m_scheduled.store(m_count, std::memory_order_relaxed);
  }
}

void TTimerMgrEx::Rearm(TTimerIface* timer) {
  std::int32_t repeatCount = timer->GetRepeatCount();
  platform::DWORD delay;
  if (repeatCount == -1) {
    delay = timer->GetPeriod();
  } else if (repeatCount == -2) {
    delay = FirstDelay(*timer);
  } else if (repeatCount < 1) {
    timer->SetId(0);
    return;
  } else {
    timer->SetRepeatCount(repeatCount - 1);
    delay = timer->GetPeriod();
  }
  platform::DWORD now = platform::GetTickCount();
  timer->SetNextFiring(now + delay);
  Schedule(timer, now + delay, now);
}

void TTimerMgrEx::RemoveAt(std::uint32_t index, platform::DWORD now) {
  m_heap[index].timer->m_heapIndex = 0;
  Entry last = m_heap[m_count--];
  m_scheduled.store(m_count, std::memory_order_relaxed);
  if (index > m_count) return;
  if (index > 1 && Before(last.nextFiring, m_heap[index / 2].nextFiring, OrderBase(now))) {
    SiftUp(index, last, now);
  } else {
    SiftDown(index, last, now);
  }
}

// Both sifts move a hole rather than swapping, and place the entry once.
void TTimerMgrEx::SiftUp(std::uint32_t index, Entry entry, platform::DWORD now) {
  platform::DWORD base = OrderBase(now);
  while (index > 1) {
    std::uint32_t parent = index / 2;
    if (!Before(entry.nextFiring, m_heap[parent].nextFiring, base)) break;
    Place(index, m_heap[parent]);
    index = parent;
  }
  Place(index, entry);
}

void TTimerMgrEx::SiftDown(std::uint32_t index, Entry entry, platform::DWORD now) {
  platform::DWORD base = OrderBase(now);
  for (;;) {
    std::uint64_t child = std::uint64_t{index} * 2;
    if (child > m_count) break;
    if (child < m_count && Before(m_heap[child + 1].nextFiring, m_heap[child].nextFiring, base)) ++child;
    if (!Before(m_heap[child].nextFiring, entry.nextFiring, base)) break;
    Place(index, m_heap[child]);
    index = static_cast<std::uint32_t>(child);
  }
  Place(index, entry);
}

void TTimerMgrEx::Place(std::uint32_t index, Entry entry) {
  m_heap[index] = entry;
  entry.timer->m_heapIndex = index;
}
