#include "runtime/FunctorPool.h"

#include <mutex>
#include <new>
#include <vector>

namespace functor_pool {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPooled = false;
#else
constexpr bool kPooled = true;
#endif

constexpr std::size_t kClassBytes[] = {64, 128};
constexpr std::size_t kClasses = sizeof kClassBytes / sizeof kClassBytes[0];
constexpr std::size_t kBatch = 128;  // blocks moved between a cache and the depot at a time

struct Block {
  Block* next;
};

// A list of blocks of one size class, with its length.
struct Chain {
  Block* head = nullptr;
  std::size_t length = 0;

  void Push(Block* block) {
    block->next = head;
    head = block;
    ++length;
  }
  Block* Pop() {
    Block* block = head;
    head = block->next;
    --length;
    return block;
  }
  // Moves the first `count` blocks out as a chain of their own.
  Chain Split(std::size_t count) {
    Chain taken;
    while (taken.length < count && head != nullptr) taken.Push(Pop());
    return taken;
  }
};

// Full batches of free blocks, shared by all threads.
class Depot {
 public:
  void Put(std::size_t sizeClass, Chain batch) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_batches[sizeClass].push_back(batch);
  }
  bool Take(std::size_t sizeClass, Chain* batch) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_batches[sizeClass].empty()) return false;
    *batch = m_batches[sizeClass].back();
    m_batches[sizeClass].pop_back();
    return true;
  }

 private:
  std::mutex m_lock;
  std::vector<Chain> m_batches[kClasses];  // guarded by m_lock
};

Depot& SharedDepot() {
  static Depot* depot = new Depot;  // outlives every thread's cache
  return *depot;
}

// The free blocks of one thread; handed to the depot when the thread ends.
class ThreadCache {
 public:
  ~ThreadCache() {
    for (std::size_t c = 0; c < kClasses; ++c)
      while (m_free[c].length > 0) SharedDepot().Put(c, m_free[c].Split(kBatch));
  }
  void* Allocate(std::size_t c) {
    if (m_free[c].length == 0 && !SharedDepot().Take(c, &m_free[c])) return ::operator new(kClassBytes[c]);
    return m_free[c].Pop();
  }
  void Release(std::size_t c, void* block) {
    m_free[c].Push(static_cast<Block*>(block));
    if (m_free[c].length >= 2 * kBatch) SharedDepot().Put(c, m_free[c].Split(kBatch));
  }

 private:
  Chain m_free[kClasses];
};

ThreadCache& Cache() {
  thread_local ThreadCache cache;
  return cache;
}

std::size_t ClassOf(std::size_t size) {
  for (std::size_t c = 0; c < kClasses; ++c)
    if (size <= kClassBytes[c]) return c;
  return kClasses;
}

}  // namespace

void* Allocate(std::size_t size) {
  std::size_t c = ClassOf(size);
  if (!kPooled || c == kClasses) return ::operator new(size);
  return Cache().Allocate(c);
}

void Release(void* block, std::size_t size) {
  if (block == nullptr) return;
  std::size_t c = ClassOf(size);
  if (!kPooled || c == kClasses) {
    ::operator delete(block);
    return;
  }
  Cache().Release(c, block);
}

}  // namespace functor_pool
