// What the active objects share around a post: the record of one blocking post with its wrapper
// functor, and the post statistics.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/Semaphore.h"
#include "runtime/TFunctor.h"

// One blocking post: its functor and its own completion signal. The state passes once from
// waiting to taken (the worker runs it) or to given up (never to run: discarded by a flush, left
// queued when the worker ended, or refused); the completion signal follows either way.
struct TBlockingCall {
  enum State { kWaiting, kTaken, kGivenUp };
  explicit TBlockingCall(TFunctor* f) : functor(f) {}
  bool Take(State to) {
    int expected = kWaiting;
    return state.compare_exchange_strong(expected, to);
  }
  TFunctor* functor;  // owned until taken
  platform::Semaphore done{0, 1};
  std::atomic<int> state{kWaiting};
};

// The queued wrapper of a blocking post. Run, it calls Object::Server_ExecuteAndSignal, which
// takes the call, runs its functor and signals; deleted unrun, it deletes the functor and signals
// too, so the caller is never left waiting.
template <class Object>
class TBlockingCallFunctor : public TFunctor {
 public:
  TBlockingCallFunctor(Object* object, std::shared_ptr<TBlockingCall> call) : m_object(object), m_call(std::move(call)) {
    NotifyCreated();
  }
  ~TBlockingCallFunctor() override {
    delete m_call->functor;  // null once taken
    if (m_call->Take(TBlockingCall::kGivenUp)) m_call->done.Release(1);
  }
  void Execute() override {
    Traced([this] { m_object->Server_ExecuteAndSignal(*m_call); });
  }

 private:
  Object* m_object;
  std::shared_ptr<TBlockingCall> m_call;
};

// Post statistics: the longest queue seen at a post and the number of posts, kept only while
// enabled. Any thread.
class TPostStatistics {
 public:
  void Enable(bool on) { m_enabled.store(on); }
  bool IsEnabled() const { return m_enabled.load(); }
  void Reset() {
    m_maxQueueCount.store(0);
    m_postCount.store(0);
  }
  // Called after a post, with the queue's count then.
  void Record(std::uint32_t queueCount) {
    if (!m_enabled.load(std::memory_order_relaxed)) return;
    if (queueCount > m_maxQueueCount.load(std::memory_order_relaxed))
      m_maxQueueCount.store(queueCount, std::memory_order_relaxed);
    m_postCount.fetch_add(1, std::memory_order_relaxed);
  }
  std::uint32_t MaxQueueCount() const { return m_maxQueueCount.load(); }
  std::uint32_t PostCount() const { return m_postCount.load(); }

 private:
  std::atomic<std::uint32_t> m_maxQueueCount{0};
  std::atomic<std::uint32_t> m_postCount{0};
  std::atomic<bool> m_enabled{false};
};
