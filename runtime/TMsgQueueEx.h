// TMsgQueueEx: the bounded queue of an active object, with two lanes of admission sharing one
// ring of N + 5 places: a normal lane of N places and a priority lane of 5, so the runtime's own
// hand-offs find room when ordinary work has filled the queue. Both lanes append at the tail.
//
// Threads: any thread sends; only the receiver's thread receives (checked: see SetReceiverThread). A sender first takes a place (up
// to its own admission time-out), so a full queue never blocks the receiver; the ring itself
// needs no lock. Sending and receiving allocate nothing and, without contention, make no system
// call.
// Ownership: the queue never deletes a value; a refused value stays with its sender, and values
// discarded by a flush go to the discard hook.
// A flush discards everything queued before it: while the receiver runs, it queues a marker (the
// empty value) and the receiver discards up to the marker the next time it takes a value.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

#include "platform/ThreadCheck.h"
#include "runtime/TMpscRing.h"
#include "runtime/TSemaphore.h"

// Receives the values a flush discards, as a pointer to the value; the active objects delete
// the functor and null the pointer.
template <class T>
class TMsgQueueIface {
 public:
  virtual void OnDiscard(T* slot) = 0;

 protected:
  ~TMsgQueueIface() = default;
};

template <class T, std::uint32_t N>
class TMsgQueueEx {
  static constexpr std::uint32_t kRing = N + 5;
  static constexpr platform::LONG kPriorityPlaces = 5;

 public:
  // waitMode 1: a flush waits while dispatching the thread's window messages.
  TMsgQueueEx(T marker, TMsgQueueIface<T>* discardHook, std::uint32_t waitMode)
      : m_items(TSemaphore_Create(0, kRing)),
        m_normalPlaces(TSemaphore_Create(0, static_cast<platform::LONG>(N))),
        m_priorityPlaces(TSemaphore_Create(0, kPriorityPlaces)),
        m_priorityPending(TSemaphore_Create(0, kPriorityPlaces)),
        m_flushRequests(TSemaphore_Create(0, kRing)),
        m_flushDone(TSemaphore_Create(0, 1)),
        m_marker(marker),
        m_discardHook(discardHook),
        m_waitMode(waitMode) {
    TSemaphore_Release(m_normalPlaces, static_cast<platform::LONG>(N));
    TSemaphore_Release(m_priorityPlaces, kPriorityPlaces);
  }

  virtual ~TMsgQueueEx() {
    TSemaphore_Close(m_items);
    TSemaphore_Close(m_normalPlaces);
    TSemaphore_Close(m_priorityPlaces);
    TSemaphore_Close(m_priorityPending);
    TSemaphore_Close(m_flushRequests);
    TSemaphore_Close(m_flushDone);
  }

  TMsgQueueEx(const TMsgQueueEx&) = delete;
  TMsgQueueEx& operator=(const TMsgQueueEx&) = delete;

  // Queues the value in the normal lane; false when no place frees up within the time-out.
  bool Send(T* value, platform::DWORD admissionTimeoutMs) {
    if (!TSemaphore_Wait(m_normalPlaces, admissionTimeoutMs)) return false;
    m_ring.Push(*value);
    TSemaphore_Release(m_items, 1);
    return true;
  }

  // Queues the value in the priority lane (still behind everything queued before it).
  bool SendPriority(T* value, platform::DWORD admissionTimeoutMs) {
    if (!TSemaphore_Wait(m_priorityPlaces, admissionTimeoutMs)) return false;
    m_ring.Push(*value);
    TSemaphore_Release(m_priorityPending, 1);
    TSemaphore_Release(m_items, 1);
    return true;
  }

  // Names the thread that receives from now on (an owner's new worker). Until it is named, the
  // first thread that receives is taken as the receiver.
  void SetReceiverThread(platform::DWORD threadId) { m_receiver.store(threadId, std::memory_order_relaxed); }

  // Takes the oldest value (receiver's thread only). Carries out pending flushes first; when they
  // emptied the ring the value taken is the marker, which the receiver ignores.
  bool Receive(T* out, platform::DWORD timeoutMs, bool callHook) {
    TOLVANE_DCHECK_ON_THREAD(ReceiverThread());
    if (!TakeItem(timeoutMs)) return false;
    bool held = true;  // the item count just taken, not yet matched with a value
    if (m_flushRequests->Count() != 0) {
      // The flusher queues its marker under this lock, so it is in the ring once we see the request.
      std::lock_guard<std::mutex> guard(m_flushLock);
      while (TSemaphore_WaitAlterable(m_flushRequests, 0)) {
        Discard(callHook, m_flushLimits.front(), &held);
        m_flushLimits.pop_front();
        TSemaphore_Release(m_flushDone, 1);
      }
    }
    if (!m_ring.Pop(out)) {
      // The flushes took the value our count stood for.
      if (held) ++m_itemsTaken;
      *out = m_marker;
      return true;
    }
    MatchItemCount(&held);
    GiveBackPlace();
    if (*out == m_marker && m_flushRequests->Count() != 0) {
      // A flush queued this marker after we looked for requests above. Everything before the
      // marker has been taken already: only the request is left to answer.
      std::lock_guard<std::mutex> guard(m_flushLock);
      if (TSemaphore_WaitAlterable(m_flushRequests, 0)) {
        m_flushLimits.pop_front();
        TSemaphore_Release(m_flushDone, 1);
      }
    }
    return true;
  }

  // Discards everything queued so far. With the receiver not running, at once on this thread;
  // otherwise through the receiver, waiting up to the time-out for it to pass the marker.
  bool Flush(platform::DWORD timeoutMs, bool receiverRunning, bool callHook) {
    if (!receiverRunning) {
      bool held = false;
      Discard(callHook, m_ring.Claims(), &held);
      return true;
    }
    {
      // The request is visible before the marker can be taken, so a receiver that takes the
      // marker as a plain value still finds the request to answer; it reads the limit under
      // this lock, after the marker and the limit are in place.
      std::lock_guard<std::mutex> guard(m_flushLock);
      TSemaphore_Wait(m_flushDone, 0);
      TSemaphore_Release(m_flushRequests, 1);
      if (TSemaphore_Wait(m_normalPlaces, 0)) {
        m_ring.Push(m_marker);
        TSemaphore_Release(m_items, 1);
      }
      // What this flush covers is fixed now: without a marker (the lane was full) the receiver
      // stops at the values claimed so far, so what is sent after the flush survives.
      m_flushLimits.push_back(m_ring.Claims());
    }
    if (m_waitMode == 1)
      TSemaphore_WaitPumpingMessages(m_flushDone, timeoutMs);
    else
      TSemaphore_WaitAlterable(m_flushDone, timeoutMs);
    return true;
  }

  // Values in the ring.
  std::uint32_t GetCount() const { return m_ring.GetCount(); }
  bool IsFull() const { return GetCount() == kRing; }

 private:
  platform::DWORD ReceiverThread() {
    platform::DWORD self = platform::CurrentThreadId();
    platform::DWORD receiver = 0;
    return m_receiver.compare_exchange_strong(receiver, self, std::memory_order_relaxed) ? self : receiver;
  }

  // Takes one item count. The receiver takes every count there is in one operation and spends
  // them one by one: the values they stand for are in the ring already.
  bool TakeItem(platform::DWORD timeoutMs) {
    if (m_itemsTaken > 0) {
      --m_itemsTaken;
      return true;
    }
    if (!TSemaphore_WaitAlterable(m_items, timeoutMs)) return false;
    m_itemsTaken = static_cast<std::uint32_t>(m_items->TakeAll());
    return true;
  }

  // Every value taken from the ring, the marker too, is matched with one item count and gives
  // back one place. The receive's own count is used first; any other is waited for, since a
  // value's sender releases its count just after publishing the value.
  void MatchItemCount(bool* held) {
    if (*held)
      *held = false;
    else
      TakeItem(platform::INFINITE_TIMEOUT);
  }

  // Takes values up to the marker (included) or up to the claim number `limit`, handing every
  // value but the marker to the hook.
  void Discard(bool callHook, std::uint64_t limit, bool* held) {
    T value;
    while (m_ring.Pop(&value, limit)) {
      MatchItemCount(held);
      GiveBackPlace();
      if (value == m_marker) return;
      if (callHook && m_discardHook != nullptr) m_discardHook->OnDiscard(&value);
    }
  }

  // A value taken frees a priority place while priority values are pending, else a normal one.
  void GiveBackPlace() {
    if (TSemaphore_Wait(m_priorityPending, 0))
      TSemaphore_Release(m_priorityPlaces, 1);
    else
      TSemaphore_Release(m_normalPlaces, 1);
  }

  TMpscRing<T, kRing> m_ring;
  TSemaphoreHandle m_items;
  TSemaphoreHandle m_normalPlaces;
  TSemaphoreHandle m_priorityPlaces;
  TSemaphoreHandle m_priorityPending;
  TSemaphoreHandle m_flushRequests;
  TSemaphoreHandle m_flushDone;
  std::mutex m_flushLock;  // a flush's request, marker and limit appear at once to the receiver
  std::deque<std::uint64_t> m_flushLimits;  // guarded by m_flushLock: one per pending request
  std::uint32_t m_itemsTaken = 0;  // item counts the receiver holds (receiver's thread only)
  std::atomic<platform::DWORD> m_receiver{0};  // 0 until a thread receives or is named
  T m_marker;
  TMsgQueueIface<T>* m_discardHook;
  std::uint32_t m_waitMode;
};
