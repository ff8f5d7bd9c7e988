#include "net/CSocketStreamChannel.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "net/CChannelIface.h"
#include "platform/Posix.h"
#include "platform/Thread.h"

using platform::DWORD;
using platform::posix::RetryOnEintr;

namespace {

using Interest = net_internal::IoPool::Interest;

// Output blocks start small (most output is a line or an echo) and grow to this size.
constexpr std::uint32_t kMinBlock = 1024;
constexpr std::uint32_t kMaxBlock = 16384;
// Receives one completion may start and see read at once on its thread before one is armed.
constexpr int kReadsInARow = 8;

ssize_t SendNow(int fd, const std::uint8_t* bytes, std::size_t count) {
  return RetryOnEintr([&] { return send(fd, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT); });
}

// The channel whose receive completion runs on this thread, if any.
thread_local const void* t_completing = nullptr;

}  // namespace

CSocketStreamChannel::CSocketStreamChannel(int fd) : m_fd(fd) {}

CSocketStreamChannel::~CSocketStreamChannel() {
  if (m_inReadSet) net_internal::IoPool::Instance().Remove(m_fd, Interest::eRead);
  if (m_inWriteSet) net_internal::IoPool::Instance().Remove(m_fd, Interest::eWrite);
  close(m_fd);
}

void CSocketStreamChannel::AddRef() { m_references.fetch_add(1, std::memory_order_relaxed); }

void CSocketStreamChannel::Release() {
  if (m_references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

bool CSocketStreamChannel::IsOpen() const { return !m_closed.load(std::memory_order_acquire); }

void CSocketStreamChannel::Close() {
  {
    // Under the receive lock: a read into the armed buffer that is under way finishes first, and
    // none starts afterwards, so the owner may free the buffer once the completion is cleared.
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_closed.exchange(true, std::memory_order_acq_rel)) return;
    // Wakes an armed receive: the socket reads as ended.
    shutdown(m_fd, SHUT_RD);
  }
  std::lock_guard<std::mutex> guard(m_outLock);
  // A pool thread writing now finishes the output itself once its write returns.
  if (!m_writing) FinishOutputLocked();
}

bool CSocketStreamChannel::SetNoDelay(bool on) {
  int value = on ? 1 : 0;
  return setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == 0;
}

void CSocketStreamChannel::SetDropNotice(DropNotice notice) {
  std::lock_guard<std::mutex> guard(m_outLock);
  m_notice = notice;
}

bool CSocketStreamChannel::Send(const void* data, DWORD length, DWORD* sent) {
  if (sent != nullptr) *sent = 0;
  if (!IsOpen() || (data == nullptr && length != 0)) return false;
  std::unique_lock<std::mutex> lock(m_outLock);
  if (!IsOpen() || m_broken) return false;
  if (length == 0) return true;
  const DWORD requested = length;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const bool taken = m_dropped == 0 && length <= kOutputLimit - m_waiting;
  if (taken && t_completing == this && !WriteThroughLocked(&bytes, &length)) return false;
  if (!taken) {
    if (m_dropped < std::numeric_limits<DWORD>::max()) ++m_dropped;
  } else if (length > 0) {
    AppendLocked(bytes, length);  // what the socket did not take
  }
  // The refused send's notice is due once the output drained, perhaps at once.
  const bool armed = StartWritingLocked();
  lock.unlock();
  if (!armed) Release();
  if (!taken || !armed) return false;
  if (sent != nullptr) *sent = requested;
  return true;
}

bool CSocketStreamChannel::WriteThroughLocked(const std::uint8_t** bytes, DWORD* length) {
  if (m_waiting != 0 || m_writeArmed || m_writing) return true;
  const ssize_t n = SendNow(m_fd, *bytes, *length);
  if (n >= 0) {
    *bytes += n;
    *length -= static_cast<DWORD>(n);
    return true;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
  // Reset or shut down: the reading side sees the end of the connection.
  m_broken = true;
  DiscardOutputLocked();
  return false;
}

void CSocketStreamChannel::AppendLocked(const std::uint8_t* bytes, DWORD length) {
  m_waiting += length;
  while (length > 0) {
    if (m_blocks.empty() || m_blocks.back().end == m_blocks.back().capacity) {
      Block block;
      block.capacity = std::clamp<std::uint32_t>(m_waiting, kMinBlock, kMaxBlock);
      block.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(block.capacity);
      m_blocks.push_back(std::move(block));
    }
    Block& back = m_blocks.back();
    const std::uint32_t count = std::min(length, back.capacity - back.end);
    std::memcpy(back.bytes.get() + back.end, bytes, count);
    back.end += count;
    bytes += count;
    length -= count;
  }
}

void CSocketStreamChannel::ConsumeLocked(std::uint32_t count) {
  Block& front = m_blocks.front();
  front.begin += count;
  m_waiting -= count;
  if (front.begin == front.end) m_blocks.erase(m_blocks.begin());
}

void CSocketStreamChannel::DiscardOutputLocked() {
  std::vector<Block>().swap(m_blocks);
  m_waiting = 0;
  m_dropped = 0;
}

bool CSocketStreamChannel::StartWritingLocked() {
  if (m_writeArmed || m_writing || (m_waiting == 0 && m_dropped == 0)) return true;
  AddRef();
  const int error = net_internal::IoPool::Instance().Arm(m_fd, this, Interest::eWrite, m_inWriteSet);
  if (error != 0) {
    // Nothing would ever write this output.
    m_broken = true;
    DiscardOutputLocked();
    return false;
  }
  m_inWriteSet = true;
  m_writeArmed = true;
  return true;
}

void CSocketStreamChannel::OnWritable() {
  std::unique_lock<std::mutex> lock(m_outLock);
  m_writeArmed = false;
  m_writing = true;
  const bool more = WriteLocked(lock);
  m_writing = false;
  // Output left for when the socket takes data again: the next report.
  const bool armed = !more || StartWritingLocked();
  lock.unlock();
  if (!armed) Release();
  Release();
}

bool CSocketStreamChannel::WriteLocked(std::unique_lock<std::mutex>& lock) {
  for (;;) {
    if (!IsOpen()) {
      FinishOutputLocked();
      return false;
    }
    if (m_broken) return false;
    if (m_waiting == 0) {
      if (m_dropped == 0) return false;
      const std::string notice = m_notice != nullptr ? m_notice(m_dropped) : std::string();
      m_dropped = 0;
      if (notice.empty()) return false;
      AppendLocked(reinterpret_cast<const std::uint8_t*>(notice.data()), static_cast<DWORD>(notice.size()));
    }
    // Senders only add behind the front block's end, so its bytes stay put while unlocked.
    const Block& front = m_blocks.front();
    const std::uint8_t* from = front.bytes.get() + front.begin;
    const std::uint32_t count = front.end - front.begin;
    lock.unlock();
    const ssize_t n = SendNow(m_fd, from, count);
    const int failure = errno;
    lock.lock();
    if (n > 0) {
      ConsumeLocked(static_cast<std::uint32_t>(n));
    } else if (n < 0 && (failure == EAGAIN || failure == EWOULDBLOCK)) {
      return true;
    } else {
      // Reset or shut down: the reading side sees the end of the connection.
      m_broken = true;
      DiscardOutputLocked();
      return false;
    }
  }
}

void CSocketStreamChannel::FinishOutputLocked() {
  if (m_outputFinished) return;
  m_outputFinished = true;
  while (m_waiting > 0 && !m_broken) {
    const Block& front = m_blocks.front();
    const ssize_t n = SendNow(m_fd, front.bytes.get() + front.begin, front.end - front.begin);
    if (n <= 0) break;
    ConsumeLocked(static_cast<std::uint32_t>(n));
  }
  DiscardOutputLocked();
  // Also ends a pending write report (the socket reports as writable), which frees its reference.
  shutdown(m_fd, SHUT_WR);
}

bool CSocketStreamChannel::InOwnCompletionLocked() const {
  return m_inCompletion && m_completionThread == platform::CurrentThreadId();
}

int CSocketStreamChannel::ArmLocked() {
  int error = net_internal::IoPool::Instance().Arm(m_fd, this, Interest::eRead, m_inReadSet);
  if (error == 0) m_inReadSet = true;
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
  if (!ReadLocked(error, count)) {
    // Nothing to read after all: wait again, without a completion.
    error = static_cast<DWORD>(ArmLocked());
    if (error == 0) return;
  }
  // Every round completes one receive. A receive the completion started is read at once on this
  // thread while data waits (a typed key that came during its echo), a few rounds at the most so
  // that a busy connection leaves this thread to the others; else it is armed.
  int releases = 1;
  for (int round = 1; Deliver(lock, error, count); ++round) {
    if (round >= kReadsInARow || !ReadLocked(error, count)) {
      error = 0;
      count = 0;
      if (IsOpen()) {
        // Armed outside the lock: the report may reach the other pool thread at once, and it must
        // not find the lock still held here (on one CPU it would preempt this thread and wait).
        // The receive keeps its reference, and a Close meanwhile wakes the report.
        lock.unlock();
        const int failure = net_internal::IoPool::Instance().Arm(m_fd, this, Interest::eRead, true);
        if (failure == 0) break;
        lock.lock();
        error = static_cast<DWORD>(failure);
      }
    }
    ++releases;  // that receive completes in the next round: read, closed meanwhile, or not armed
  }
  if (lock.owns_lock()) lock.unlock();
  while (releases-- > 0) Release();
}

bool CSocketStreamChannel::ReadLocked(DWORD& error, DWORD& count) {
  error = 0;
  count = 0;
  if (!IsOpen()) return true;
  const ssize_t n = RetryOnEintr([&] { return recv(m_fd, m_buffer, m_capacity, MSG_DONTWAIT); });
  if (n >= 0) {
    count = static_cast<DWORD>(n);
    return true;
  }
  const int failure = errno;
  if (failure == EAGAIN || failure == EWOULDBLOCK) return false;
  error = static_cast<DWORD>(failure);
  return true;
}

bool CSocketStreamChannel::Deliver(std::unique_lock<std::mutex>& lock, DWORD error, DWORD count) {
  std::uint8_t* const data = m_buffer;
  m_armed = false;
  if (error != 0 || count == 0) m_ended = true;
  if (CChannelIface* listener = m_listener; listener != nullptr) {
    m_inCompletion = true;
    m_completionThread = platform::CurrentThreadId();
    lock.unlock();
    const void* outer = t_completing;
    t_completing = this;
    listener->OnChannelRx(this, error, data, count);
    t_completing = outer;
    lock.lock();
    m_inCompletion = false;
    ++m_completions;
    m_completionDone.notify_all();
  }
  return std::exchange(m_armOnReturn, false);
}
