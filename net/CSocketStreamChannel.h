// CSocketStreamChannel: CStreamChannel over a connected TCP socket.
//
// Receives: one at a time, completed on the I/O pool (IoPool). A receive started from inside a
// completion of this channel is armed only when that completion returns, so the next block is
// never handled while the previous call is still running. An armed receive holds a reference.
//
// Sends: serialised by a lock of their own and bounded, as a whole, by the send time-out. A send
// that timed out marks the connection stalled; while stalled, a send first checks without waiting
// whether the socket can take data and fails at once when it cannot.
//
// Close shuts the socket down (waking an armed receive and a blocked send) and waits for a read
// into the receive buffer that is under way. The descriptor itself is closed by the destructor,
// after it has left the epoll set, so it is never reused under a running operation.
//
// SetListener waits for a completion running on another thread; its caller must therefore not
// hold a lock that the completion takes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "net/CStreamChannel.h"
#include "net/IoPool.h"

class CSocketStreamChannel final : public CStreamChannel, private net_internal::IoPool::Target {
 public:
  // Takes ownership of `fd`, a connected stream socket. Holds one reference for the creator.
  explicit CSocketStreamChannel(int fd);

  bool Send(const void* data, platform::DWORD length, platform::DWORD* sent) override;
  bool Receive(void* buffer, platform::DWORD capacity) override;
  bool IsOpen() const override;
  void Close() override;
  void SetListener(CChannelIface* listener) override;
  bool SetNoDelay(bool on) override;
  bool SetSendTimeout(platform::DWORD timeoutMs) override;
  void AddRef() override;
  void Release() override;

 private:
  ~CSocketStreamChannel() override;

  void OnIoReady() override;
  // Hands one result to the listener (with `lock` released around the call) and arms a receive
  // started inside the completion. True when that receive is complete already (closed meanwhile,
  // or it could not be armed): its result is then in `error` and `count`.
  bool Deliver(std::unique_lock<std::mutex>& lock, platform::DWORD& error, platform::DWORD& count);
  int ArmLocked();
  bool InOwnCompletionLocked() const;

  const int m_fd;
  std::atomic<int> m_references{1};
  std::atomic<bool> m_closed{false};
  std::atomic<platform::DWORD> m_sendTimeoutMs{0};

  // Guards the receive state and the listener.
  std::mutex m_lock;
  std::condition_variable m_completionDone;
  CChannelIface* m_listener = nullptr;
  std::uint8_t* m_buffer = nullptr;
  platform::DWORD m_capacity = 0;
  bool m_armed = false;        // a receive is outstanding and holds a reference
  bool m_armOnReturn = false;  // started inside the running completion; armed when it returns
  bool m_inEpoll = false;
  bool m_ended = false;        // the end of the connection was delivered
  bool m_inCompletion = false;
  platform::DWORD m_completionThread = 0;
  std::uint64_t m_completions = 0;

  // Held for a whole send; guards m_stalled.
  std::mutex m_sendLock;
  bool m_stalled = false;
};
