// The brief spin a waiter makes before it sleeps: what it waits for often arrives within a few
// hundred nanoseconds, sooner than a sleep and a wake-up. Measured on our two-core machines, a
// longer spin costs more than it saves: it delays the sleep that the other side's wake-up then
// has to wait for. Private to platform/.
#pragma once

#include <algorithm>
#include <chrono>

#include "platform/Win32Types.h"

namespace platform {

#if defined(__x86_64__) || defined(__i386__)
inline void CpuRelax() { __builtin_ia32_pause(); }
#else
inline void CpuRelax() {}
#endif

constexpr int kSpinChecks = 2;
constexpr int kMaxPausesBetweenChecks = 64;

// Spins until done() is true or the checks run out; the result of the last done(). The pauses
// between checks double each time: a check reads a word that another core is writing, and
// fewer reads let that core get on.
template <class Done>
bool SpinUntil(Done done) {
  int pauses = 1;
  for (int check = 0; check < kSpinChecks; ++check) {
    for (int i = 0; i < pauses; ++i) CpuRelax();
    if (done()) return true;
    if (pauses < kMaxPausesBetweenChecks) pauses *= 2;
  }
  return false;
}

// Milliseconds left until the deadline, rounded up so a wait never ends early.
inline DWORD RemainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  return left <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(left, INFINITE_TIMEOUT - 1));
}

}  // namespace platform
