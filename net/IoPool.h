// IoPool: the I/O threads of the channel library, two threads waiting on one epoll set.
//
// A target arms one readiness report at a time for its socket (one-shot): when the socket becomes
// readable, or reports an error or hang-up, exactly one pool thread calls OnIoReady and the socket
// is not reported again until it is armed anew. So one target's reports never overlap.
//
// Threads: started on first use ("NetIo") and kept for the life of the process; there is no
// thread per connection. Lifetime: a target must stay alive while it is armed, and must Remove
// its socket before closing it.
#pragma once

#include <atomic>
#include <mutex>
#include <unordered_set>

namespace net_internal {

class IoPool {
 public:
  class Target {
   public:
    // Runs on a pool thread once per arming.
    virtual void OnIoReady() = 0;

   protected:
    ~Target() = default;
  };

  // The pool of the process; its threads start with the first Arm.
  static IoPool& Instance();

  IoPool(const IoPool&) = delete;
  IoPool& operator=(const IoPool&) = delete;

  // Arms one report for `fd` to `target`; `added` tells whether the socket is already in the set
  // (from an earlier Arm). 0 on success, else the errno value.
  int Arm(int fd, Target* target, bool added);
  // Takes the socket out of the set; call before closing it.
  void Remove(int fd);

 private:
  IoPool() = default;
  // 0 once the epoll set and the threads exist, else the errno value (tried again next time).
  int Start();
  void Run();

  static constexpr int kThreads = 2;
  std::mutex m_startLock;
  std::atomic<bool> m_started{false};
  int m_epoll = -1;  // written once under m_startLock, before m_started is set
  // The targets armed now. The pool holds them the way the kernel's epoll set does, so a target
  // that is reachable only through a pending report is still reachable from the program (leak
  // checkers see it at exit).
  std::mutex m_armedLock;
  std::unordered_set<Target*> m_armed;
};

}  // namespace net_internal
