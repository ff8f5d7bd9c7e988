#include "net/IoPool.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "platform/Thread.h"

namespace net_internal {

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

int IoPool::Arm(int fd, Target* target, bool added) {
  if (!m_started.load(std::memory_order_acquire)) {
    if (int error = Start(); error != 0) return error;
  }
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  event.data.ptr = target;
  {
    std::lock_guard<std::mutex> guard(m_armedLock);
    m_armed.insert(target);
  }
  if (epoll_ctl(m_epoll, added ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) == 0) return 0;
  int error = errno;
  std::lock_guard<std::mutex> guard(m_armedLock);
  m_armed.erase(target);
  return error;
}

void IoPool::Remove(int fd) {
  epoll_event unused{};
  epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, &unused);
}

void IoPool::Run() {
  // One report per wait: a completion that blocks (a slow send from inside it, say) holds up
  // only its own channel while the other thread serves the rest.
  for (;;) {
    epoll_event event{};
    if (epoll_wait(m_epoll, &event, 1, -1) != 1) continue;
    auto* target = static_cast<Target*>(event.data.ptr);
    {
      std::lock_guard<std::mutex> guard(m_armedLock);
      m_armed.erase(target);
    }
    target->OnIoReady();
  }
}

}  // namespace net_internal
