#include "platform/ThreadMessages.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/Thread.h"

namespace platform {
namespace {

// A thread's queue. Signalled while it holds a message; acquiring it takes nothing.
class MessageQueue : public Waitable {
 public:
  bool TryAcquire() override {
    std::lock_guard<std::mutex> guard(m_lock);
    return !m_messages.empty();
  }
  // The queue is kept alive by the poster's reference, so it may be touched after publishing.
  void Post(const ThreadMessage& message) {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_messages.push_back(message);
    }
    if (m_registered.load(std::memory_order_seq_cst) != 0) PublishToRegistered([] {});
  }
  bool Take(ThreadMessage* message, bool remove) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_messages.empty()) return false;
    *message = m_messages.front();
    if (remove) m_messages.pop_front();
    return true;
  }

 protected:
  void OnRegisteredChanged(int delta) override { m_registered.fetch_add(delta, std::memory_order_seq_cst); }

 private:
  std::mutex m_lock;
  std::deque<ThreadMessage> m_messages;  // guarded by m_lock
  std::atomic<int> m_registered{0};
};

// The queues of living threads by thread id.
class QueueRegistry {
 public:
  static QueueRegistry& Instance() {
    static QueueRegistry* registry = new QueueRegistry;  // outlives every thread
    return *registry;
  }
  void Add(DWORD id, std::shared_ptr<MessageQueue> queue) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_queues[id] = std::move(queue);
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
    if (m_queue != nullptr) QueueRegistry::Instance().Remove(m_id);
  }
  MessageQueue& Get() {
    if (m_queue == nullptr) {
      m_id = CurrentThreadId();
      m_queue = std::make_shared<MessageQueue>();
      QueueRegistry::Instance().Add(m_id, m_queue);
    }
    return *m_queue;
  }

 private:
  DWORD m_id = 0;
  std::shared_ptr<MessageQueue> m_queue;
};

MessageQueue& OwnQueue() {
  thread_local ThreadQueueHolder holder;
  return holder.Get();
}

std::atomic<WindowDispatcher> g_dispatcher{nullptr};

}  // namespace

bool PostWindowMessage(DWORD threadId, void* window, UINT message, std::uintptr_t wParam, std::intptr_t lParam) {
  std::shared_ptr<MessageQueue> queue = QueueRegistry::Instance().Find(threadId);
  if (queue == nullptr) return false;
  queue->Post(ThreadMessage{window, message, wParam, lParam});
  return true;
}

bool PostThreadMessage(DWORD threadId, UINT message, std::uintptr_t wParam, std::intptr_t lParam) {
  return PostWindowMessage(threadId, nullptr, message, wParam, lParam);
}

bool GetMessage(ThreadMessage* message) {
  MessageQueue& queue = OwnQueue();
  while (!queue.Take(message, true)) queue.Wait(INFINITE_TIMEOUT);
  return message->message != WM_QUIT;
}

bool PeekMessage(ThreadMessage* message, bool remove) { return OwnQueue().Take(message, remove); }

MessageWait WaitForObjectOrMessage(Waitable* object, DWORD timeoutMs) {
  Waitable* objects[2] = {object, &OwnQueue()};
  std::size_t hit = WaitForAny(objects, 2, timeoutMs);
  return hit == 0 ? MessageWait::Signalled : hit == 1 ? MessageWait::Message : MessageWait::Timeout;
}

void SetWindowDispatcher(WindowDispatcher dispatcher) { g_dispatcher.store(dispatcher, std::memory_order_release); }

std::intptr_t DispatchMessage(const ThreadMessage& message) {
  WindowDispatcher dispatcher = g_dispatcher.load(std::memory_order_acquire);
  if (message.window == nullptr || dispatcher == nullptr) return 0;
  return dispatcher(message);
}

}  // namespace platform

