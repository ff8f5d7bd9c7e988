// TQueue: a fixed ring of M values. A push onto a full ring overwrites the oldest value; a pop
// from an empty ring gives the empty value, with which every slot starts. Not thread-safe: the
// owner locks around it.
#pragma once

#include <array>
#include <cstdint>

template <class T, std::uint32_t M, int Unused = 0>
class _TQueueStack {
 public:
  virtual ~_TQueueStack() = default;
  // The slot of the value taken, or of the empty value when there is none.
  virtual T* Pop() = 0;
  // The slot `index` places after the oldest.
  virtual T* PeekAt(std::uint32_t index) = 0;
};

template <class T, std::uint32_t M>
class TQueue : public _TQueueStack<T, M, 0> {
  static_assert(M > 0, "a ring needs a place");

 public:
  explicit TQueue(T empty) : m_empty(empty) { m_items.fill(empty); }

  void Push(const T& value) {
    if (m_count == M) m_read = (m_read + 1) % M;
    m_items[m_write] = value;
    m_write = (m_write + 1) % M;
    m_count = m_count + 1 < M ? m_count + 1 : M;
  }

  T* Pop() override {
    if (m_count == 0) return &m_empty;
    T* slot = &m_items[m_read];
    if (--m_count > 0)
      m_read = (m_read + 1) % M;
    else
      m_write = m_read;
    return slot;
  }

  T* PeekAt(std::uint32_t index) override { return &m_items[(m_read + index) % M]; }

  std::uint32_t GetCount() const { return m_count; }
  bool IsFull() const { return m_count == M; }

 private:
  std::array<T, M> m_items;
  std::uint32_t m_count = 0;
  std::uint32_t m_write = 0;
  std::uint32_t m_read = 0;
  T m_empty;
};
