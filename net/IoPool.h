// IoPool: the I/O threads of the channel library, two threads waiting on one epoll set.
//
// A target arms one report at a time per interest for its socket (one-shot): for reads, when the
// socket becomes readable, or reports an error or hang-up, exactly one pool thread calls OnIoReady;
// for writes, when it can take data (or reports an error or hang-up), exactly one calls
// OnWritable. A report is not repeated until that interest is armed anew, so one target's reports
// of one interest never overlap; a read report and a write report may run at the same time.
// The two interests are registered in two epoll sets (the write set nested in the other), so
// arming one never disturbs the other.
//
// Threads: started on first use ("NetIo") and kept for the life of the process; there is no
// thread per connection. A failing epoll_wait other than EINTR ends its thread, reported once
// through the StreamChannel trace. Lifetime: a target must stay alive while it is armed, and
// must Remove its socket from each set it was added to before closing it.
#pragma once

#include <atomic>
#include <mutex>
#include <unordered_set>

namespace net_internal {

class IoPool {
 public:
  class Target {
   public:
    // Each runs on a pool thread once per arming of its interest.
    virtual void OnIoReady() = 0;
    virtual void OnWritable() = 0;

   protected:
    ~Target() = default;
  };

  enum class Interest { eRead, eWrite };

  // The pool of the process; its threads start with the first Arm.
  static IoPool& Instance();

  IoPool(const IoPool&) = delete;
  IoPool& operator=(const IoPool&) = delete;

  // Arms one report of `interest` for `fd` to `target`; `added` tells whether the socket is
  // already in that interest's set (from an earlier Arm). 0 on success, else the errno value.
  int Arm(int fd, Target* target, Interest interest, bool added);
  // Takes the socket out of the interest's set; call before closing it. A failure is traced.
  void Remove(int fd, Interest interest);

 private:
  IoPool() = default;
  // 0 once the epoll sets and the threads exist, else the errno value (tried again next time).
  int Start();
  void Run();
  // Takes one report off the armed targets and hands it on.
  void Deliver(Target* target, Interest interest);
  int SetOf(Interest interest) const { return interest == Interest::eRead ? m_epoll : m_writeEpoll; }

  static constexpr int kThreads = 2;
  std::mutex m_startLock;
  std::atomic<bool> m_started{false};
  // Both written once under m_startLock, before m_started is set. m_epoll holds the read
  // registrations and m_writeEpoll itself (reported with a null target).
  int m_epoll = -1;
  int m_writeEpoll = -1;
  // The targets armed now, once per armed interest. The pool holds them the way the kernel's
  // epoll sets do, so a target that is reachable only through a pending report is still
  // reachable from the program (leak checkers see it at exit).
  std::mutex m_armedLock;
  std::unordered_multiset<Target*> m_armed;
};

}  // namespace net_internal
