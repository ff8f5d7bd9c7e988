#include "platform/RecursiveMutex.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <pthread.h>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace platform {
namespace {

// A number of the calling thread that no other thread has, not even one started after it ended
// and given the same kernel id.
std::uint64_t ThreadToken() {
  static std::atomic<std::uint64_t> next{0};
  thread_local const std::uint64_t token = next.fetch_add(1, std::memory_order_relaxed) + 1;
  return token;
}

// ThreadSanitizer does not intercept pthread_mutex_clocklock, so it is told about the lock here;
// without this it would take the acquired mutex for a free one.
#if defined(__SANITIZE_THREAD__)
int ClockLock(pthread_mutex_t* mutex, const timespec* deadline) {
  __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
  int rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, deadline);
  bool acquired = rc == 0 || rc == EOWNERDEAD;
  __tsan_mutex_post_lock(mutex, __tsan_mutex_try_lock | (acquired ? 0 : __tsan_mutex_try_lock_failed), 0);
  return rc;
}
#else
int ClockLock(pthread_mutex_t* mutex, const timespec* deadline) {
  return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, deadline);
}
#endif

}  // namespace

// A robust recursive pthread mutex: the kernel marks it when its owner thread exits. The owner
// is also recorded here, so that a release by another thread is refused before it reaches
// pthread.
struct RecursiveMutex::Impl {
  pthread_mutex_t mutex;
  std::atomic<std::uint64_t> owner{0};  // ThreadToken of the owner, 0 when free
  std::atomic<unsigned> depth{0};       // the owner's nested locks; changed only by the owner
};

RecursiveMutex::RecursiveMutex() : m_impl(std::make_unique<Impl>()) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&m_impl->mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

RecursiveMutex::~RecursiveMutex() { pthread_mutex_destroy(&m_impl->mutex); }

RecursiveMutex::Result RecursiveMutex::Lock(DWORD timeoutMs, LONG* error) {
  // A free mutex, a re-entry and an abandoned mutex are all settled by the first try.
  int rc = pthread_mutex_trylock(&m_impl->mutex);
  if (rc == EBUSY) {
    if (timeoutMs == 0) {
      rc = ETIMEDOUT;
    } else if (timeoutMs == INFINITE_TIMEOUT) {
      rc = pthread_mutex_lock(&m_impl->mutex);
    } else {
      timespec deadline{};
      clock_gettime(CLOCK_MONOTONIC, &deadline);
      deadline.tv_sec += timeoutMs / 1000;
      deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
      if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
      }
      rc = ClockLock(&m_impl->mutex, &deadline);
    }
  }
  switch (rc) {
    case 0:
      m_impl->depth.fetch_add(1, std::memory_order_relaxed);
      m_impl->owner.store(ThreadToken(), std::memory_order_relaxed);
      return Result::Acquired;
    case ETIMEDOUT: return Result::Timeout;
    case EOWNERDEAD:
      // We own it now, once (the dead owner's nesting is gone); mark it usable again, as the
      // abandoned result hands it over.
      pthread_mutex_consistent(&m_impl->mutex);
      m_impl->depth.store(1, std::memory_order_relaxed);
      m_impl->owner.store(ThreadToken(), std::memory_order_relaxed);
      return Result::Abandoned;
    default:
      if (error != nullptr) *error = Win32ErrorFromErrno(rc);
      return Result::Failed;
  }
}

bool RecursiveMutex::Unlock() {
  if (m_impl->owner.load(std::memory_order_relaxed) != ThreadToken()) return false;
  if (m_impl->depth.fetch_sub(1, std::memory_order_relaxed) == 1) m_impl->owner.store(0, std::memory_order_relaxed);
  return pthread_mutex_unlock(&m_impl->mutex) == 0;
}

}  // namespace platform
