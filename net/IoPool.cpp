#include "net/IoPool.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "modules/LibraryTraces.h"
#include "modules/TConsole.h"
#include "platform/Posix.h"
#include "platform/Thread.h"

using platform::posix::RetryOnEintr;

namespace net_internal {

namespace {

void TraceFailure(const char16_t* call, int error) {
  if (TRACE_ON(g_trcStreamChannel, 1)) TConsole::PrintLine(u"NetIo: %s failed, errno %d", call, error);
}

}  // namespace

IoPool& IoPool::Instance() {
  // Never destroyed: its threads wait in epoll_wait until the process ends.
  static IoPool* const pool = new IoPool();
  return *pool;
}

int IoPool::Start() {
  std::lock_guard<std::mutex> guard(m_startLock);
  if (m_started.load(std::memory_order_relaxed)) return 0;
  if (m_epoll < 0) {
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll < 0) return errno;
  }
  if (m_writeEpoll < 0) {
    int writes = epoll_create1(EPOLL_CLOEXEC);
    if (writes < 0) return errno;
    // Level-triggered: the write set reads as ready for as long as it holds an unclaimed report.
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, writes, &event) != 0) {
      int error = errno;
      close(writes);
      return error;
    }
    m_writeEpoll = writes;
  }
  int started = 0;
  try {
    for (; started < kThreads; ++started) platform::StartThread("NetIo", [this] { Run(); }).detach();
  } catch (const std::system_error&) {
    // Fewer threads still serve every channel; none at all leaves the pool for the next attempt.
    if (started == 0) return EAGAIN;
  }
  m_started.store(true, std::memory_order_release);
  return 0;
}

int IoPool::Arm(int fd, Target* target, Interest interest, bool added) {
  if (!m_started.load(std::memory_order_acquire)) {
    if (int error = Start(); error != 0) return error;
  }
  epoll_event event{};
  event.events = (interest == Interest::eRead ? EPOLLIN | EPOLLRDHUP : EPOLLOUT) | EPOLLONESHOT;
  event.data.ptr = target;
  {
    std::lock_guard<std::mutex> guard(m_armedLock);
    m_armed.insert(target);
  }
  if (epoll_ctl(SetOf(interest), added ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) == 0) return 0;
  int error = errno;
  std::lock_guard<std::mutex> guard(m_armedLock);
  m_armed.erase(m_armed.find(target));
  return error;
}

void IoPool::Remove(int fd, Interest interest) {
  epoll_event unused{};
  if (RetryOnEintr([&] { return epoll_ctl(SetOf(interest), EPOLL_CTL_DEL, fd, &unused); }) != 0)
    TraceFailure(u"epoll_ctl(EPOLL_CTL_DEL)", errno);
}

void IoPool::Deliver(Target* target, Interest interest) {
  {
    std::lock_guard<std::mutex> guard(m_armedLock);
    m_armed.erase(m_armed.find(target));
  }
  if (interest == Interest::eRead)
    target->OnIoReady();
  else
    target->OnWritable();
}

void IoPool::Run() {
  // One report per wait: a completion that blocks holds up only its own channel while the other
  // thread serves the rest.
  for (;;) {
    epoll_event event{};
    int ready = RetryOnEintr([&] { return epoll_wait(m_epoll, &event, 1, -1); });
    if (ready < 0) break;
    if (ready == 0) continue;
    if (event.data.ptr != nullptr) {
      Deliver(static_cast<Target*>(event.data.ptr), Interest::eRead);
      continue;
    }
    // The write set has a report; the other thread may have claimed it first.
    ready = RetryOnEintr([&] { return epoll_wait(m_writeEpoll, &event, 1, 0); });
    if (ready < 0) break;
    if (ready == 1) Deliver(static_cast<Target*>(event.data.ptr), Interest::eWrite);
  }
  // Only a broken epoll set fails here; waiting again would spin.
  TraceFailure(u"epoll_wait", errno);
}

}  // namespace net_internal
