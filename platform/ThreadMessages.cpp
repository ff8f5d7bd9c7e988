#include "platform/ThreadMessages.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/SpinWait.h"
#include "platform/Thread.h"

namespace platform {
// Not in an anonymous namespace: another copy of this code in the process may hold the same
// objects (see QueueRegistry), and the types must be the same types in every copy.
namespace thread_messages {

using Clock = std::chrono::steady_clock;

struct Filter {
  void* window = nullptr;  // null: every message of the thread
  UINT first = 0;
  UINT last = 0;  // first and last 0: every number
  bool Passes(void* target, UINT message) const {
    return (window == nullptr || target == window) && ((first == 0 && last == 0) || (message >= first && message <= last));
  }
};

// Wakes the threads registered with it while waiting; how Waitables announce a change.
class Announcer : public Waitable {
 protected:
  void Announce() {
    if (m_registered.load(std::memory_order_seq_cst) != 0) PublishToRegistered([] {});
  }
  void OnRegisteredChanged(int delta) override { m_registered.fetch_add(delta, std::memory_order_seq_cst); }

 private:
  std::atomic<int> m_registered{0};
};

// The calls sent to a thread, as a waitable of its own: a thread waiting for the answer to its
// own send wakes for them, not for its posted messages. The count mirrors the queue's list.
class SentInbox : public Announcer {
 public:
  bool TryAcquire() override { return Pending(); }
  bool Pending() const { return m_count.load(std::memory_order_seq_cst) != 0; }
  void SetCount(std::size_t count) { m_count.store(count, std::memory_order_seq_cst); }
  void Notify() { Announce(); }

 private:
  std::atomic<std::size_t> m_count{0};
};

struct QueueTimer {
  void* window;
  std::uintptr_t id;
  Clock::duration interval;
  Clock::time_point due;
  std::intptr_t callback;
};

}  // namespace thread_messages

using namespace thread_messages;

// A thread's queue. Signalled while it holds a message, a sent call, a due timer, or a timer
// change the owner has not looked at yet; acquiring it takes nothing.
class ThreadQueue : public Announcer {
 public:
  bool TryAcquire() override {
    std::lock_guard<std::mutex> guard(m_lock);
    return !m_messages.empty() || !m_calls.empty() || m_timersChanged || HasDueTimerLocked(Clock::now());
  }
  // The queue is kept alive by the poster's reference, so it may be touched after publishing.
  bool Post(const ThreadMessage& message) {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      if (m_closed) return false;
      m_messages.push_back(message);
    }
    Announce();
    return true;
  }
  bool QueueCall(std::shared_ptr<SentCall> call) {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      if (m_closed) return false;
      m_calls.push_back(std::move(call));
      m_inbox.SetCount(m_calls.size());
    }
    m_inbox.Notify();
    Announce();
    return true;
  }
  // Delivers the sent calls one by one, oldest first, the queue unlocked meanwhile.
  void DeliverCalls() {
    while (m_inbox.Pending()) {
      std::shared_ptr<SentCall> call;
      {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_calls.empty()) return;
        call = std::move(m_calls.front());
        m_calls.pop_front();
        m_inbox.SetCount(m_calls.size());
      }
      call->Deliver();
    }
  }
  // The oldest posted message passing the filter, else a due timer passing it. When nothing is
  // found, *wait (when given) gets the milliseconds until the next timer is due.
  bool Take(ThreadMessage* message, const Filter& filter, bool remove, DWORD* wait) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_timersChanged = false;
    for (auto it = m_messages.begin(); it != m_messages.end(); ++it) {
      if (!filter.Passes(it->window, it->message)) continue;
      *message = *it;
      if (remove && it == m_messages.begin())
        m_messages.pop_front();
      else if (remove)
        m_messages.erase(it);
      return true;
    }
    if (m_timers.empty()) return false;
    Clock::time_point now = Clock::now();
    QueueTimer* due = nullptr;
    Clock::time_point next = Clock::time_point::max();
    for (QueueTimer& timer : m_timers) {
      if (!filter.Passes(timer.window, WM_TIMER)) continue;
      if (timer.due <= now && (due == nullptr || timer.due < due->due)) due = &timer;
      next = std::min(next, timer.due);
    }
    if (due != nullptr) {
      *message = ThreadMessage{due->window, WM_TIMER, due->id, due->callback};
      if (remove) due->due = now + due->interval;
      return true;
    }
    if (wait != nullptr && next != Clock::time_point::max()) *wait = RemainingMs(next);
    return false;
  }
  std::size_t Remove(const Filter& filter, std::vector<ThreadMessage>* removed) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto kept = std::stable_partition(m_messages.begin(), m_messages.end(),
                                      [&](const ThreadMessage& m) { return !filter.Passes(m.window, m.message); });
    std::size_t count = static_cast<std::size_t>(m_messages.end() - kept);
    removed->insert(removed->end(), kept, m_messages.end());
    m_messages.erase(kept, m_messages.end());
    return count;
  }
  bool SetTimer(void* window, std::uintptr_t id, DWORD intervalMs, std::intptr_t callback) {
    Clock::duration interval = std::chrono::milliseconds(std::max<DWORD>(intervalMs, 1));
    {
      std::lock_guard<std::mutex> guard(m_lock);
      if (m_closed) return false;
      QueueTimer timer{window, id, interval, Clock::now() + interval, callback};
      auto it = FindTimerLocked(window, id);
      if (it != m_timers.end())
        *it = timer;
      else
        m_timers.push_back(timer);
      m_timersChanged = true;  // a sleeping owner recomputes its wait
    }
    Announce();
    return true;
  }
  bool KillTimer(void* window, std::uintptr_t id) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = FindTimerLocked(window, id);
    if (it == m_timers.end()) return false;
    m_timers.erase(it);
    return true;
  }
  bool HasTimer(void* window, std::uintptr_t id, std::intptr_t callback) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = FindTimerLocked(window, id);
    return it != m_timers.end() && it->callback == callback;
  }
  void KillTimers(void* window) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::erase_if(m_timers, [window](const QueueTimer& timer) { return timer.window == window; });
  }
  // The thread ends: nothing more is accepted, and the calls sent to it are abandoned.
  void Close() {
    std::deque<std::shared_ptr<SentCall>> calls;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_closed = true;
      calls.swap(m_calls);
      m_inbox.SetCount(0);
      m_messages.clear();
      m_timers.clear();
    }
    for (auto& call : calls) call->Abandon();
  }
  SentInbox& Inbox() { return m_inbox; }

 private:
  bool HasDueTimerLocked(Clock::time_point now) const {
    return std::any_of(m_timers.begin(), m_timers.end(), [now](const QueueTimer& timer) { return timer.due <= now; });
  }
  std::vector<QueueTimer>::iterator FindTimerLocked(void* window, std::uintptr_t id) {
    return std::find_if(m_timers.begin(), m_timers.end(),
                        [=](const QueueTimer& timer) { return timer.window == window && timer.id == id; });
  }

  std::mutex m_lock;
  std::deque<ThreadMessage> m_messages;            // guarded by m_lock
  std::deque<std::shared_ptr<SentCall>> m_calls;   // guarded by m_lock
  std::vector<QueueTimer> m_timers;                // guarded by m_lock
  bool m_timersChanged = false;                    // guarded by m_lock
  bool m_closed = false;                           // guarded by m_lock
  SentInbox m_inbox;
};

namespace thread_messages {

using MessageQueue = ThreadQueue;

// The queues of living threads by thread id.
//
// One per process, as a process has one set of thread queues. Every library of the process that
// carries this code (the console's shared object, and a host with a copy of its own) must use the
// same registry, or a message posted through one copy would never reach a loop run by another:
// each copy exports its registry under one name, and all of them take the first that the dynamic
// linker finds in the process's global scope (their own when none is found there).
class QueueRegistry {
 public:
  static QueueRegistry& Instance();
  static QueueRegistry& Own() {
    static QueueRegistry* registry = new QueueRegistry;  // outlives every thread
    return *registry;
  }
  // The queue registered for the thread, registering `queue` when there is none.
  std::shared_ptr<MessageQueue> FindOrAdd(DWORD id, std::shared_ptr<MessageQueue> queue) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto inserted = m_queues.emplace(id, std::move(queue));
    return inserted.first->second;
  }
  void Remove(DWORD id) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_queues.erase(id);
  }
  std::shared_ptr<MessageQueue> Find(DWORD id) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_queues.find(id);
    return it == m_queues.end() ? nullptr : it->second;
  }

 private:
  std::mutex m_lock;
  std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> m_queues;
};

// Owns the calling thread's queue and withdraws it when the thread ends.
class ThreadQueueHolder {
 public:
  ~ThreadQueueHolder() {
    if (m_queue == nullptr) return;
    m_queue->Close();
    QueueRegistry::Instance().Remove(m_id);
  }
  MessageQueue& Get() { return *Shared(); }
  const std::shared_ptr<MessageQueue>& Shared() {
    if (m_queue == nullptr) {
      m_id = CurrentThreadId();
      m_queue = QueueRegistry::Instance().FindOrAdd(m_id, std::make_shared<MessageQueue>());
    }
    return m_queue;
  }

 private:
  DWORD m_id = 0;
  std::shared_ptr<MessageQueue> m_queue;
};

ThreadQueueHolder& OwnHolder() {
  thread_local ThreadQueueHolder holder;
  return holder;
}

MessageQueue& OwnQueue() { return OwnHolder().Get(); }

std::atomic<WindowDispatcher> g_dispatcher{nullptr};

}  // namespace thread_messages
}  // namespace platform

extern "C" __attribute__((visibility("default"))) void* tolvane_thread_queue_registry_v1() {
  return &platform::thread_messages::QueueRegistry::Own();
}

namespace platform {

QueueRegistry& QueueRegistry::Instance() {
  static QueueRegistry* registry = [] {
    using Lookup = void* (*)();
    auto first = reinterpret_cast<Lookup>(dlsym(RTLD_DEFAULT, "tolvane_thread_queue_registry_v1"));
    return first != nullptr ? static_cast<QueueRegistry*>(first()) : &Own();
  }();
  return *registry;
}

bool PostWindowMessage(DWORD threadId, void* window, UINT message, std::uintptr_t wParam, std::intptr_t lParam) {
  std::shared_ptr<MessageQueue> queue = QueueRegistry::Instance().Find(threadId);
  return queue != nullptr && queue->Post(ThreadMessage{window, message, wParam, lParam});
}

bool PostThreadMessage(DWORD threadId, UINT message, std::uintptr_t wParam, std::intptr_t lParam) {
  return PostWindowMessage(threadId, nullptr, message, wParam, lParam);
}

bool GetMessage(ThreadMessage* message) {
  MessageQueue& queue = OwnQueue();
  for (;;) {
    queue.DeliverCalls();
    DWORD wait = INFINITE_TIMEOUT;
    if (queue.Take(message, Filter{}, true, &wait)) return message->message != WM_QUIT;
    queue.Wait(wait);
  }
}

bool PeekMessage(ThreadMessage* message, bool remove) { return PeekMessage(message, nullptr, 0, 0, remove); }

bool PeekMessage(ThreadMessage* message, void* window, UINT first, UINT last, bool remove) {
  MessageQueue& queue = OwnQueue();
  queue.DeliverCalls();
  return queue.Take(message, Filter{window, first, last}, remove, nullptr);
}

void EnsureMessageQueue() { OwnQueue(); }

std::shared_ptr<ThreadQueue> OwnThreadQueue() { return OwnHolder().Shared(); }

bool PostToQueue(ThreadQueue& queue, const ThreadMessage& message) { return queue.Post(message); }

std::size_t RemoveWindowMessages(DWORD threadId, void* window, UINT first, UINT last, std::vector<ThreadMessage>* removed) {
  std::shared_ptr<MessageQueue> queue = QueueRegistry::Instance().Find(threadId);
  return queue == nullptr ? 0 : queue->Remove(Filter{window, first, last}, removed);
}

MessageWait WaitForObjectOrMessage(Waitable* object, DWORD timeoutMs) {
  Waitable* objects[2] = {object, &OwnQueue()};
  std::size_t hit = WaitForAny(objects, 2, timeoutMs);
  return hit == 0 ? MessageWait::Signalled : hit == 1 ? MessageWait::Message : MessageWait::Timeout;
}

bool QueueSentCall(DWORD threadId, std::shared_ptr<SentCall> call) {
  std::shared_ptr<MessageQueue> queue = QueueRegistry::Instance().Find(threadId);
  return queue != nullptr && queue->QueueCall(std::move(call));
}

bool WaitDeliveringSentCalls(Waitable* object, DWORD timeoutMs) {
  MessageQueue& queue = OwnQueue();
  Waitable* objects[2] = {object, &queue.Inbox()};
  const bool infinite = timeoutMs == INFINITE_TIMEOUT;
  const Clock::time_point deadline = infinite ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::size_t hit = WaitForAny(objects, 2, infinite ? INFINITE_TIMEOUT : RemainingMs(deadline));
    if (hit == 0) return true;
    if (hit == kWaitTimeout) return false;
    queue.DeliverCalls();
  }
}

bool SetQueueTimer(DWORD threadId, void* window, std::uintptr_t id, DWORD intervalMs, std::intptr_t callback) {
  std::shared_ptr<MessageQueue> queue = QueueRegistry::Instance().Find(threadId);
  return queue != nullptr && queue->SetTimer(window, id, intervalMs, callback);
}

bool KillQueueTimer(DWORD threadId, void* window, std::uintptr_t id) {
  std::shared_ptr<MessageQueue> queue = QueueRegistry::Instance().Find(threadId);
  return queue != nullptr && queue->KillTimer(window, id);
}

void KillQueueTimers(DWORD threadId, void* window) {
  if (std::shared_ptr<MessageQueue> queue = QueueRegistry::Instance().Find(threadId)) queue->KillTimers(window);
}

bool HasOwnQueueTimer(void* window, std::uintptr_t id, std::intptr_t callback) {
  return OwnQueue().HasTimer(window, id, callback);
}

void SetWindowDispatcher(WindowDispatcher dispatcher) { g_dispatcher.store(dispatcher, std::memory_order_release); }

std::intptr_t DispatchMessage(const ThreadMessage& message) {
  WindowDispatcher dispatcher = g_dispatcher.load(std::memory_order_acquire);
  bool timerCallback = message.message == WM_TIMER && message.lParam != 0;
  if ((message.window == nullptr && !timerCallback) || dispatcher == nullptr) return 0;
  return dispatcher(message);
}

}  // namespace platform
