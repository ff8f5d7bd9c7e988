// A Win32-style mutex: recursive for its owning thread, with timed waits, and "abandoned" when
// its owner thread ended while holding it.
//
// Emulates: ownership by one thread, counted re-entry, a release only by the owner, and the
// abandoned result: the next thread to wait gets Abandoned and owns the mutex (as with
// WAIT_ABANDONED). Leaves out: names, and sharing between processes. Time-outs are milliseconds
// on the monotonic clock: 0 only tries, INFINITE_TIMEOUT waits without limit.
#pragma once

#include <memory>

#include "platform/Win32Types.h"

namespace platform {

class RecursiveMutex {
 public:
  enum class Result { Acquired, Abandoned, Timeout, Failed };

  RecursiveMutex();
  ~RecursiveMutex();
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  // On Failed, *error (may be null) receives the Win32 error code.
  Result Lock(DWORD timeoutMs, LONG* error = nullptr);
  // False (ERROR_NOT_OWNER) when the calling thread does not own the mutex.
  bool Unlock();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace platform
