// CSocketStreamChannel: CStreamChannel over a connected TCP socket.
//
// Receives: one at a time, completed on the I/O pool (IoPool). A receive started from inside a
// completion of this channel is taken up only when that completion returns, so the next block is
// never handled while the previous call is still running: read at once on the same thread when
// data waits (a few in a row at the most), else armed. An armed receive holds a reference.
//
// Sends: appended under the output lock to a list of blocks, allocated as output waits and freed
// as it drains (an idle connection holds none). The first send into an empty buffer arms a write
// report; the pool thread that gets it writes without waiting (MSG_DONTWAIT, MSG_NOSIGNAL) and
// outside the lock, so senders never wait for the socket, and arms again while output is left.
// A write report holds a reference, like an armed receive. A send made inside this channel's own
// receive completion (an echo) is on a pool thread already: with no output waiting it writes at
// once what the socket takes, without waiting, and only the rest goes into the buffer.
//
// Close shuts the reading side down (waking an armed receive), writes what the socket takes at
// once of the output left, drops the rest and shuts the writing side down; it waits for a read
// into the receive buffer that is under way. The descriptor itself is closed by the destructor,
// after it has left the epoll sets, so it is never reused under a running operation.
//
// SetListener waits for a completion running on another thread; its caller must therefore not
// hold a lock that the completion takes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

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
  void SetDropNotice(DropNotice notice) override;
  void AddRef() override;
  void Release() override;

 private:
  ~CSocketStreamChannel() override;

  // One block of waiting output: bytes [begin, end) of `capacity` are still to be written.
  struct Block {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::uint32_t capacity = 0;
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
  };

  void OnIoReady() override;
  void OnWritable() override;
  // Hands one result to the listener (with `lock` released around the call). True when the
  // completion started a receive, which the caller arms now (or completes at once).
  bool Deliver(std::unique_lock<std::mutex>& lock, platform::DWORD error, platform::DWORD count);
  // Reads into the armed receive's buffer without waiting: true with its result in `error` and
  // `count` (count 0: the end; also when closed), false when nothing is there yet.
  bool ReadLocked(platform::DWORD& error, platform::DWORD& count);
  int ArmLocked();
  bool InOwnCompletionLocked() const;

  // Under m_outLock.
  void AppendLocked(const std::uint8_t* bytes, platform::DWORD length);
  void ConsumeLocked(std::uint32_t count);
  void DiscardOutputLocked();
  // Arms a write report when output or a drop notice waits and no pool thread has one. False
  // when that failed: the output is then dropped and the reference is the caller's to release.
  bool StartWritingLocked();
  // From inside the own completion, with nothing waiting: writes what the socket takes now and
  // moves *bytes and *length past it, onto what it did not take. False when the connection broke.
  bool WriteThroughLocked(const std::uint8_t** bytes, platform::DWORD* length);
  // Writes output until the socket takes no more. True when some is left for a later report.
  bool WriteLocked(std::unique_lock<std::mutex>& lock);
  // After Close: writes what the socket takes at once, drops the rest, shuts writing down.
  void FinishOutputLocked();

  const int m_fd;
  std::atomic<int> m_references{1};
  std::atomic<bool> m_closed{false};

  // Guards the receive state and the listener.
  std::mutex m_lock;
  std::condition_variable m_completionDone;
  CChannelIface* m_listener = nullptr;
  std::uint8_t* m_buffer = nullptr;
  platform::DWORD m_capacity = 0;
  bool m_armed = false;        // a receive is outstanding and holds a reference
  bool m_armOnReturn = false;  // started inside the running completion; armed when it returns
  bool m_inReadSet = false;
  bool m_ended = false;        // the end of the connection was delivered
  bool m_inCompletion = false;
  platform::DWORD m_completionThread = 0;
  std::uint64_t m_completions = 0;

  // Guards the output and the write state.
  std::mutex m_outLock;
  std::vector<Block> m_blocks;
  platform::DWORD m_waiting = 0;   // bytes in m_blocks still to be written
  platform::DWORD m_dropped = 0;   // sends refused since the output last drained
  DropNotice m_notice = nullptr;
  bool m_writeArmed = false;       // a write report is pending and holds a reference
  bool m_writing = false;          // a pool thread is writing the front block outside the lock
  bool m_inWriteSet = false;
  bool m_broken = false;           // a write failed: the connection takes no more output
  bool m_outputFinished = false;   // Close's share of the output is done
};
