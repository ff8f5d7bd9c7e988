// TMpscRing: the ring of an active object's queue, for many senders and one receiver, without a
// lock. A sender claims the next slot with one atomic increment and publishes its value through
// the slot's sequence number; the receiver takes values in claim order.
//
// The ring does not count places itself: the queue admits a sender only after it took a place,
// so a claimed slot is always free or about to be freed by the receiver.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/SpinWait.h"

template <class T, std::uint32_t M>
class TMpscRing {
 public:
  TMpscRing() : m_slots(new Slot[M]) {
    for (std::uint32_t i = 0; i < M; ++i) m_slots[i].seq.store(i, std::memory_order_relaxed);
  }
  TMpscRing(const TMpscRing&) = delete;
  TMpscRing& operator=(const TMpscRing&) = delete;

  // Any thread that holds a place.
  void Push(const T& value) {
    std::uint64_t position = m_tail.fetch_add(1, std::memory_order_relaxed);
    Slot& slot = m_slots[position % M];
    WaitUntil([&] { return slot.seq.load(std::memory_order_acquire) == position; });
    slot.value = value;
    slot.seq.store(position + 1, std::memory_order_release);
  }

  // The receiver only. Takes the oldest value; false when no value is claimed (or none before
  // the claim number `limit`). A value claimed but still being written is waited for: its sender
  // is between two instructions.
  bool Pop(T* out, std::uint64_t limit = UINT64_MAX) {
    std::uint64_t head = m_head.load(std::memory_order_relaxed);
    if (head >= limit) return false;
    Slot& slot = m_slots[head % M];
    bool claimed = true;
    WaitUntil([&] {
      if (slot.seq.load(std::memory_order_acquire) == head + 1) return true;
      claimed = m_tail.load(std::memory_order_acquire) > head;
      return !claimed;
    });
    if (!claimed) return false;
    *out = slot.value;
    slot.seq.store(head + M, std::memory_order_release);
    m_head.store(head + 1, std::memory_order_relaxed);
    return true;
  }

  // The number of claims made so far: the claim number of the next value.
  std::uint64_t Claims() const { return m_tail.load(std::memory_order_acquire); }

  // Values claimed and not yet taken.
  std::uint32_t GetCount() const {
    std::uint64_t tail = m_tail.load(std::memory_order_relaxed);
    std::uint64_t head = m_head.load(std::memory_order_relaxed);
    return tail > head ? static_cast<std::uint32_t>(tail - head) : 0;
  }

 private:
  struct Slot {
    std::atomic<std::uint64_t> seq;
    T value{};
  };

  template <class Done>
  static void WaitUntil(Done done) {
    while (!done()) {
      if (!platform::SpinUntil(done)) std::this_thread::yield();
      else return;
    }
  }

  std::unique_ptr<Slot[]> m_slots;
  alignas(64) std::atomic<std::uint64_t> m_tail{0};  // senders
  alignas(64) std::atomic<std::uint64_t> m_head{0};  // written by the receiver only
};
