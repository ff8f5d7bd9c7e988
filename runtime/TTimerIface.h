// TTimerIface: the abstract timer of an active object, as scheduled by TTimerMgrEx.
//
// A timer carries an owned functor (the call made at each firing), a period, a repeat count and
// its schedule (id and next firing, written by the manager). Repeat count: -1 fires for ever; -2
// fires for ever, aligned to whole calendar minutes (plus the phase) when the period is at least
// 60000 ms; 0 means the current firing is the last; n > 0 means n more firings after the current
// one. A timer set with repeat count n therefore fires n + 1 times.
//
// Threads: a scheduled timer is read and written by its manager under the manager's lock. The
// operations here take no lock: change a scheduled timer only on the thread that fires it (from
// a callback or a functor of the same active object). Period and repeat count changed while it is
// scheduled take effect at its next re-arming.
#pragma once

#include <cstdint>

#include "platform/Win32Types.h"

class TFunctor;
class TTimerMgrEx;

class TTimerIface {
 public:
  TTimerIface() = default;
  virtual ~TTimerIface() = default;
  TTimerIface(const TTimerIface&) = delete;
  TTimerIface& operator=(const TTimerIface&) = delete;

  // Stores the period (ms), the repeat count and the phase (ms). A scheduled timer uses them from
  // its next re-arming on.
  virtual void Setup(platform::DWORD period, std::int32_t repeatCount, std::int32_t phase) = 0;
  // The address of the functor field.
  virtual TFunctor** GetFunctorRef() = 0;
  // Takes ownership of functor and deletes the one held before. Null changes nothing, and so
  // does the functor already held.
  virtual void SetFunctor(TFunctor* functor) = 0;
  // Runs the functor when there is one; the timer keeps it.
  virtual void Fire() = 0;

  virtual platform::DWORD GetId() const = 0;
  virtual platform::DWORD GetNextFiring() const = 0;
  virtual platform::DWORD GetPeriod() const = 0;
  virtual std::int32_t GetRepeatCount() const = 0;
  virtual std::int32_t GetPhase() const = 0;

  virtual void SetId(platform::DWORD id) = 0;
  virtual void SetNextFiring(platform::DWORD tick) = 0;
  virtual void SetPeriod(platform::DWORD period) = 0;
  virtual void SetRepeatCount(std::int32_t repeatCount) = 0;
  virtual void SetPhase(std::int32_t phase) = 0;

 private:
  friend class TTimerMgrEx;
  // 1-based position in the schedule of the manager holding the timer, 0 when in none. Guarded
  // by that manager's lock.
  std::uint32_t m_heapIndex = 0;
};
