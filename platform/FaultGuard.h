// Runs a call with every failure caught: a C++ exception, and the hardware faults SIGSEGV,
// SIGBUS, SIGFPE and SIGILL raised on the calling thread inside the call.
//
// Emulates: structured exception handling around a call, as a worker thread's catch-all uses it.
// A fault inside a guarded call jumps back to the guard (on an alternate signal stack, so a stack
// overflow is caught too); objects on the frames it leaves are not destroyed. A fault outside any
// guard goes to whatever handler was installed before (or the default action: the process ends),
// as if no guard existed. Leaves out: faults of other threads, and signals sent by kill().
#pragma once

namespace platform {

enum class GuardResult { Returned, Threw, Faulted };

// Runs call(context) under the guard. *signal (may be null) receives the signal number of a fault.
GuardResult RunGuarded(void (*call)(void*), void* context, int* signal = nullptr);

template <class Fn>
GuardResult RunGuarded(Fn& fn, int* signal = nullptr) {
  return RunGuarded([](void* c) { (*static_cast<Fn*>(c))(); }, &fn, signal);
}

}  // namespace platform
