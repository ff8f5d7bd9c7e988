// TTimerMgrEx: the schedule of an active object's timers, ordered by next firing, from which
// the worker thread fires due timers between functors. There are no operating-system timers:
// the worker bounds its wait on the queue with TimeToFirstDue.
//
// Threads: every operation takes the manager's critical section. Run fires the timer inside it,
// so a callback may set and cancel timers of the same manager (the section is recursive), while
// other threads that set or cancel wait until the callback returns. Run, GetFirstDue and
// TimeToFirstDue are for the worker loop.
// Ownership: timers are held by pointer, never owned. A timer is scheduled on one manager at a
// time, and must stay alive while scheduled (cancel it before destroying it).
// Time: the 32-bit millisecond tick counter (platform::GetTickCount). The order stays right
// across the wrap of the counter as long as no timer is more than 24 hours overdue.
// Cost: the schedule is a binary heap allocated once at the capacity; setting, cancelling and
// firing are O(log n) and allocate nothing. When the schedule is full, Set still gives the timer
// an id but the timer is not scheduled and never fires; cancelling it clears the id.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/Win32Types.h"
#include "runtime/TCriticalSection.h"

class TTimerIface;

class TTimerMgrEx {
 public:
  explicit TTimerMgrEx(std::uint32_t capacity);
  // Frees the schedule; the timers in it are left alone.
  virtual ~TTimerMgrEx();
  TTimerMgrEx(const TTimerMgrEx&) = delete;
  TTimerMgrEx& operator=(const TTimerMgrEx&) = delete;

  // Schedules the timer for the tick count plus its first delay (the period, or the
  // minute-aligned delay for repeat count -2) under the next id, from 65536 up. A timer already
  // scheduled keeps its id and next firing. Returns the timer's id afterwards, 0 for null.
  platform::DWORD Set(TTimerIface* timer);
  // Removes the timer from the schedule (its next firing becomes 0) and clears its id. True when
  // it was in the schedule; a timer cancelled from its own callback is not, as it is firing.
  bool Cancel(TTimerIface* timer);
  // Fires the earliest timer when it is due, then re-arms it by its repeat count from the
  // current tick count. An entry whose id was cleared is dropped unfired. A callback that
  // cancels its timer ends it; one that cancels and sets it again keeps the new schedule. An
  // exception from the callback ends the timer and leaves Run.
  void Run();
  // The earliest scheduled timer, or null.
  TTimerIface* GetFirstDue();
  // Milliseconds until the earliest timer is due: 0 when it is due or overdue,
  // platform::INFINITE_TIMEOUT when nothing is scheduled.
  platform::DWORD TimeToFirstDue();

 private:
  // The next firing is kept beside the pointer so that ordering reads no timer.
  struct Entry {
    platform::DWORD nextFiring;
    TTimerIface* timer;
  };

  bool InSchedule(const TTimerIface* timer) const;
  void Schedule(TTimerIface* timer, platform::DWORD nextFiring, platform::DWORD now);
  void Rearm(TTimerIface* timer);
  void RemoveAt(std::uint32_t index, platform::DWORD now);
  void SiftUp(std::uint32_t index, Entry entry, platform::DWORD now);
  void SiftDown(std::uint32_t index, Entry entry, platform::DWORD now);
  void Place(std::uint32_t index, Entry entry);

  const std::uint32_t m_capacity;
  std::uint32_t m_count = 0;        // guarded by m_lock
  std::atomic<std::uint32_t> m_scheduled{0};  // m_count, for reading without the lock
  std::unique_ptr<Entry[]> m_heap;  // 1-based, earliest at 1; entries guarded by m_lock
  platform::DWORD m_nextId = 65536; // guarded by m_lock
  TCriticalSection m_lock;
};
