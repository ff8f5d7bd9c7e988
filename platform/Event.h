// A Win32-style event: a flag that threads wait for.
//
// Emulates: manual-reset events (stay set until Reset, release every waiter) and auto-reset
// events (a successful wait clears the flag, so one waiter is released per Set). Leaves out:
// names and PulseEvent. Waits: Wait for this event alone, WaitForAny for several objects;
// 0 only tests, INFINITE_TIMEOUT waits without limit. A thread released by the event may destroy
// it at once, even while the setting thread is still inside Set.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Waitable.h"

namespace platform {

class Event : public Waitable {
 public:
  Event(bool manualReset, bool initiallySet);

  void Set();
  void Reset();
  // True when the event is set, without consuming an auto-reset event.
  bool IsSet() const;
  bool TryAcquire() override;

 protected:
  void OnRegisteredChanged(int delta) override;

 private:
  // Bit 0 the flag; the registered waiters counted from bit 1.
  std::atomic<std::uint32_t> m_state;
  const bool m_manualReset;
};

}  // namespace platform
