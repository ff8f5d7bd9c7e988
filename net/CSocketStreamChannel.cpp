#include "net/CSocketStreamChannel.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "net/CChannelIface.h"
#include "platform/Posix.h"
#include "platform/Thread.h"

using platform::DWORD;
using platform::posix::RetryOnEintr;

namespace {

using Clock = std::chrono::steady_clock;

// Whether the socket can take data (or has an error that a send will report), waiting at most
// `timeoutMs` (-1: without limit).
bool WaitWritable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLOUT, 0};
  return RetryOnEintr([&] { return poll(&entry, 1, timeoutMs); }) > 0;
}

}  // namespace

CSocketStreamChannel::CSocketStreamChannel(int fd) : m_fd(fd) {}

CSocketStreamChannel::~CSocketStreamChannel() {
  if (m_inEpoll) net_internal::IoPool::Instance().Remove(m_fd);
  close(m_fd);
}

void CSocketStreamChannel::AddRef() { m_references.fetch_add(1, std::memory_order_relaxed); }

void CSocketStreamChannel::Release() {
  if (m_references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

bool CSocketStreamChannel::IsOpen() const { return !m_closed.load(std::memory_order_acquire); }

void CSocketStreamChannel::Close() {
  // Under the receive lock: a read into the armed buffer that is under way finishes first, and
  // none starts afterwards, so the owner may free the buffer once the completion is cleared.
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_closed.exchange(true, std::memory_order_acq_rel)) return;
  // Wakes an armed receive (the socket reads as ended) and a send waiting for room.
  shutdown(m_fd, SHUT_RDWR);
}

bool CSocketStreamChannel::SetNoDelay(bool on) {
  int value = on ? 1 : 0;
  return setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == 0;
}

bool CSocketStreamChannel::SetSendTimeout(DWORD timeoutMs) {
  m_sendTimeoutMs.store(timeoutMs, std::memory_order_relaxed);
  return true;
}

bool CSocketStreamChannel::Send(const void* data, DWORD length, DWORD* sent) {
  if (sent != nullptr) *sent = 0;
  if (!IsOpen() || (data == nullptr && length != 0)) return false;
  std::lock_guard<std::mutex> guard(m_sendLock);
  if (!IsOpen()) return false;
  if (m_stalled) {
    if (!WaitWritable(m_fd, 0)) return false;
    m_stalled = false;
  }
  // The socket's own blocking would restart its time-out after every partial write; the wait
  // for room is done here instead, so the whole send keeps to one time-out.
  const DWORD timeoutMs = m_sendTimeoutMs.load(std::memory_order_relaxed);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  DWORD done = 0;
  while (done < length) {
    ssize_t n = RetryOnEintr([&] { return send(m_fd, bytes + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT); });
    if (n > 0) {
      done += static_cast<DWORD>(n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
    int waitMs = -1;
    if (timeoutMs != 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      waitMs = static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
    }
    if (waitMs == 0 || !WaitWritable(m_fd, waitMs)) {
      m_stalled = true;
      break;
    }
  }
  if (sent != nullptr) *sent = done;
  return done == length;
}

bool CSocketStreamChannel::InOwnCompletionLocked() const {
  return m_inCompletion && m_completionThread == platform::CurrentThreadId();
}

int CSocketStreamChannel::ArmLocked() {
  int error = net_internal::IoPool::Instance().Arm(m_fd, this, m_inEpoll);
  if (error == 0) m_inEpoll = true;
  return error;
}

bool CSocketStreamChannel::Receive(void* buffer, DWORD capacity) {
  if (buffer == nullptr || capacity == 0) return false;
  std::unique_lock<std::mutex> lock(m_lock);
  if (!IsOpen() || m_ended || m_armed) return false;
  m_buffer = static_cast<std::uint8_t*>(buffer);
  m_capacity = capacity;
  m_armed = true;
  AddRef();
  if (InOwnCompletionLocked()) {
    m_armOnReturn = true;
    return true;
  }
  if (ArmLocked() == 0) return true;
  m_armed = false;
  lock.unlock();
  Release();
  return false;
}

void CSocketStreamChannel::SetListener(CChannelIface* listener) {
  std::unique_lock<std::mutex> lock(m_lock);
  m_listener = listener;
  if (m_inCompletion && !InOwnCompletionLocked()) {
    const std::uint64_t running = m_completions;
    m_completionDone.wait(lock, [&] { return m_completions != running; });
  }
}

void CSocketStreamChannel::OnIoReady() {
  std::unique_lock<std::mutex> lock(m_lock);
  DWORD error = 0;
  DWORD count = 0;
  if (IsOpen()) {
    ssize_t n = RetryOnEintr([&] { return recv(m_fd, m_buffer, m_capacity, MSG_DONTWAIT); });
    if (n > 0) {
      count = static_cast<DWORD>(n);
    } else if (n < 0) {
      int failure = errno;
      if (failure == EAGAIN || failure == EWOULDBLOCK) {
        // Nothing to read after all: wait again, without a completion.
        failure = ArmLocked();
        if (failure == 0) return;
      }
      error = static_cast<DWORD>(failure);
    }
  }
  // Every round completes one receive; a further round is due when the completion started a
  // receive that ended before it could be armed.
  int releases = 1;
  while (Deliver(lock, error, count)) ++releases;
  lock.unlock();
  while (releases-- > 0) Release();
}

bool CSocketStreamChannel::Deliver(std::unique_lock<std::mutex>& lock, DWORD& error, DWORD& count) {
  std::uint8_t* const data = m_buffer;
  m_armed = false;
  if (error != 0 || count == 0) m_ended = true;
  if (CChannelIface* listener = m_listener; listener != nullptr) {
    m_inCompletion = true;
    m_completionThread = platform::CurrentThreadId();
    lock.unlock();
    listener->OnChannelRx(this, error, data, count);
    lock.lock();
    m_inCompletion = false;
    ++m_completions;
    m_completionDone.notify_all();
  }
  if (!m_armOnReturn) return false;
  m_armOnReturn = false;
  count = 0;
  const bool open = IsOpen();  // closed meanwhile: the receive ends at once
  error = open ? static_cast<DWORD>(ArmLocked()) : 0;
  return !open || error != 0;
}
