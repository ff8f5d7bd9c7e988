#include "platform/Thread.h"

#include <atomic>
#include <ctime>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {
namespace {

std::atomic<TickSource> g_tickSource{nullptr};

DWORD MonotonicTicks() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);
}

// Per-thread set-up and tear-down around every started thread. COM has no counterpart here;
// the hooks stay so that such work has one place to go.
void InitialiseThread() {}
void UninitialiseThread() {}

}  // namespace

DWORD CurrentThreadId() {
  thread_local const DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
  return id;
}

std::thread StartThread(const char* name, std::function<void()> fn) {
  std::string threadName = name != nullptr ? name : "";
  return std::thread([threadName = std::move(threadName), fn = std::move(fn)] {
    if (!threadName.empty()) pthread_setname_np(pthread_self(), threadName.substr(0, 15).c_str());
    InitialiseThread();
    fn();
    UninitialiseThread();
  });
}

DWORD GetTickCount() {
  TickSource source = g_tickSource.load(std::memory_order_acquire);
  return source != nullptr ? source() : MonotonicTicks();
}

void SetTickSourceForTesting(TickSource source) { g_tickSource.store(source, std::memory_order_release); }

bool SetThreadPriorityLevel(DWORD threadId, int level) {
  static const int kNice[] = {-20, -10, -5, 0, 5, 10, 19};
  if (level < 1 || level > 7) return false;
  setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), kNice[level - 1]);
  return true;
}

}  // namespace platform
