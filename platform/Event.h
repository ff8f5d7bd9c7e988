// A Win32-style event: a flag that threads wait for.
//
// Emulates: manual-reset events (stay set until Reset, release every waiter) and auto-reset events
// (a successful wait clears the flag, so one waiter is released per Set). Leaves out: names,
// PulseEvent, and waiting for several events at once.
// Time-outs are milliseconds on the monotonic clock: 0 tests without blocking, INFINITE_TIMEOUT
// waits without limit.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/Win32Types.h"

namespace platform {

class Event {
 public:
  Event(bool manualReset, bool initiallySet);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // True when the event is set, without consuming an auto-reset event.
  bool IsSet() const;
  // True when the event was set within the time-out.
  bool Wait(DWORD timeoutMs);

 private:
  const bool m_manualReset;
  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_set;  // guarded by m_lock
};

}  // namespace platform
