// Shared helpers of the POSIX implementation files. Private to platform/.
#pragma once

#include <cerrno>

namespace platform::posix {

// Calls fn until it does not fail with EINTR; a signal handler must not turn a call into a failure.
template <class Fn>
auto RetryOnEintr(Fn fn) -> decltype(fn()) {
  for (;;) {
    auto rc = fn();
    if (rc != -1 || errno != EINTR) return rc;
  }
}

}  // namespace platform::posix
