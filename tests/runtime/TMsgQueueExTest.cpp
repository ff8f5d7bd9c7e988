#include "runtime/TMsgQueueEx.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/TFunctor.h"
#include "tests/TestSupport.h"

namespace {

using testing_support::WaitFor;
using Clock = std::chrono::steady_clock;
using Queue = TMsgQueueEx<TFunctor*, 3>;  // 3 normal places and 5 priority places

// Stand-ins for values that are never run or deleted.
TFunctor* Fake(int i) { return reinterpret_cast<TFunctor*>(static_cast<std::uintptr_t>(i) + 1); }
int IndexOf(TFunctor* f) { return static_cast<int>(reinterpret_cast<std::uintptr_t>(f) - 1); }

bool Send(Queue& q, int i, bool priority = false) {
  TFunctor* value = Fake(i);
  return priority ? q.SendPriority(&value, 0) : q.Send(&value, 0);
}
// The index taken, -1 for the marker, -2 for nothing.
int Receive(Queue& q) {
  TFunctor* value = Fake(1000);
  if (!q.Receive(&value, 0, true)) return -2;
  return value == nullptr ? -1 : IndexOf(value);
}
// Takes everything there is; the markers a flush leaves behind are skipped.
std::vector<int> Drain(Queue& q) {
  std::vector<int> values;
  for (int i = 0, r; i < 100 && (r = Receive(q)) != -2; ++i)
    if (r != -1) values.push_back(r);
  return values;
}
// How many values each lane admits right now, numbered from first on.
std::pair<int, int> FillBothLanes(Queue& q, int first) {
  int normal = 0, priority = 0;
  while (normal < 10 && Send(q, first + normal)) ++normal;
  while (priority < 10 && Send(q, first + normal + priority, true)) ++priority;
  return {normal, priority};
}

// Deletes real functors as an active object does, or records fake ones; nulls the value.
class Hook : public TMsgQueueIface<TFunctor*> {
 public:
  explicit Hook(bool deleteFunctors) : m_delete(deleteFunctors) {}
  void OnDiscard(TFunctor** slot) override {
    if (m_delete) delete *slot;
    else discarded.push_back(IndexOf(*slot));
    *slot = nullptr;
    ++calls;
  }
  std::atomic<int> calls{0};
  std::vector<int> discarded;  // touched by one thread at a time

 private:
  bool m_delete;
};

TEST(TMsgQueueExTest, PriorityLaneAdmitsFiveMoreAndBothLanesStayInOrder) {
  auto q = std::make_unique<Queue>(nullptr, nullptr, 0);
  auto start = Clock::now();
  EXPECT_EQ(Receive(*q), -2);
  EXPECT_EQ(FillBothLanes(*q, 0), std::make_pair(3, 5));  // refusals come at once
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(q->IsFull());
  EXPECT_EQ(q->GetCount(), 8u);
  // While priority values are pending, a value taken frees a priority place.
  EXPECT_EQ(Receive(*q), 0);
  EXPECT_FALSE(q->IsFull());
  EXPECT_FALSE(Send(*q, 99));
  EXPECT_TRUE(Send(*q, 8, true));
  EXPECT_EQ(Drain(*q), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));  // FIFO across the lanes
  EXPECT_EQ(q->GetCount(), 0u);
  EXPECT_EQ(FillBothLanes(*q, 20), std::make_pair(3, 5));  // every place went back to its lane
}

TEST(TMsgQueueExTest, BlockedSendProceedsWhenTheReceiverTakesAValue) {
  auto q = std::make_unique<Queue>(nullptr, nullptr, 0);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Send(*q, i));
  std::atomic<int> result{-1};
  std::thread sender([&] {
    TFunctor* value = Fake(3);
    result = q->Send(&value, 10000);  // the time-out bounds the test
  });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(Receive(*q), 0);
  EXPECT_TRUE(WaitFor([&] { return result != -1; }));
  sender.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Drain(*q), (std::vector<int>{1, 2, 3}));
}

// Work for a receiver thread: runs record their argument; Block holds the thread until released.
struct Work {
  std::atomic<int> ran{0}, lastRun{0}, blocked{0};
  std::atomic<bool> release{false};
  void Run(int n) { lastRun = n, ++ran; }
  void Block() { ++blocked, WaitFor([this] { return release.load(); }); }
};

TEST(TMsgQueueExTest, FlushWithTheReceiverStoppedDiscardsEverything) {
  Work work;
  Hook hook(true);
  auto q = std::make_unique<Queue>(nullptr, &hook, 0);
  for (int i = 0; i < 4; ++i) {
    TFunctor* f = new TFunctor1<Work, int>(&work, &Work::Run, i);
    ASSERT_TRUE(i % 2 == 0 ? q->Send(&f, 0) : q->SendPriority(&f, 0));
  }
  EXPECT_TRUE(q->Flush(0, false, true));
  EXPECT_EQ(hook.calls, 4);  // each deleted once; ASan checks for leaks and double frees
  EXPECT_EQ(q->GetCount(), 0u);
  EXPECT_EQ(Receive(*q), -2);
  EXPECT_EQ(work.ran, 0);
  // Without the hook flag the values go silently; the places come back either way.
  EXPECT_EQ(FillBothLanes(*q, 0), std::make_pair(3, 5));
  EXPECT_TRUE(q->Flush(0, false, false));
  EXPECT_EQ(hook.calls, 4);
  EXPECT_EQ(FillBothLanes(*q, 0), std::make_pair(3, 5));
  q->Flush(0, false, false);
}

// The receiver (this thread, between its calls) discards up to the marker when it next takes.
TEST(TMsgQueueExTest, FlushThroughTheReceiverDiscardsOnlyWhatCameBeforeIt) {
  Hook hook(false);
  auto q = std::make_unique<Queue>(nullptr, &hook, 0);
  ASSERT_TRUE(Send(*q, 0));
  ASSERT_TRUE(Send(*q, 1, true));
  EXPECT_TRUE(q->Flush(0, true, true));  // nobody receives: gives up after its time-out
  ASSERT_TRUE(Send(*q, 2));
  EXPECT_EQ(Receive(*q), 2);
  EXPECT_EQ(hook.discarded, (std::vector<int>{0, 1}));
  EXPECT_EQ(Drain(*q), std::vector<int>{});
  // A flush that empties the ring: the value taken is the marker.
  ASSERT_TRUE(Send(*q, 3));
  EXPECT_TRUE(q->Flush(0, true, true));
  EXPECT_EQ(Receive(*q), -1);
  EXPECT_EQ(Drain(*q), std::vector<int>{});
  // With the normal lane full no marker fits and the whole ring goes.
  EXPECT_EQ(FillBothLanes(*q, 4), std::make_pair(3, 5));
  EXPECT_TRUE(q->Flush(0, true, true));
  EXPECT_EQ(Drain(*q), std::vector<int>{});
  EXPECT_EQ(hook.discarded, (std::vector<int>{0, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  EXPECT_EQ(FillBothLanes(*q, 20), std::make_pair(3, 5));  // every place came back
}

TEST(TMsgQueueExTest, FlushWaitsForARunningReceiverToPassTheMarker) {
  Work work;
  Hook hook(true);
  auto q = std::make_unique<TMsgQueueEx<TFunctor*, 10>>(nullptr, &hook, 0);
  std::atomic<bool> stop{false};
  std::thread receiver([&] {  // an active object's loop
    for (TFunctor* f = nullptr; !stop; f = nullptr)
      if (q->Receive(&f, 10, true) && f != nullptr) f->Execute(), delete f;
  });
  auto post = [&](TFunctor* f) { EXPECT_TRUE(q->Send(&f, 1000)); };
  auto busy = [&](int n) {  // keeps the receiver inside a call until released
    work.release = false;
    post(new TFunctor0<Work>(&work, &Work::Block));
    EXPECT_TRUE(WaitFor([&] { return work.blocked == n; }));
  };

  busy(1);
  post(new TFunctor1<Work, int>(&work, &Work::Run, 1));
  post(new TFunctor1<Work, int>(&work, &Work::Run, 2));
  EXPECT_TRUE(q->Flush(0, true, true));
  post(new TFunctor1<Work, int>(&work, &Work::Run, 3));
  work.release = true;
  EXPECT_TRUE(WaitFor([&] { return work.ran == 1; }));
  EXPECT_EQ(work.lastRun, 3);
  EXPECT_EQ(hook.calls, 2);

  // The flush returns once the receiver, free again, has passed its marker.
  busy(2);
  post(new TFunctor1<Work, int>(&work, &Work::Run, 4));
  std::atomic<bool> flushing{false};
  int accountedAtReturn = 0;
  auto start = Clock::now();
  std::thread flusher([&] {
    flushing = true;
    q->Flush(10000, true, true);
    accountedAtReturn = hook.calls + work.ran;
  });
  EXPECT_TRUE(WaitFor([&] { return flushing.load(); }));
  work.release = true;
  flusher.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(accountedAtReturn, 4);  // 4 was run or discarded before the flush returned
  stop = true;
  receiver.join();
  q->Flush(0, false, true);  // nothing may be left
  EXPECT_EQ(hook.calls + work.ran, 4);
}

// Senders with short admission time-outs, a receiver with short waits and a flushing thread:
// every value admitted is received or discarded exactly once, and no wake-up is lost.
TEST(TMsgQueueExTest, StressNoValueIsLostOrDuplicated) {
  constexpr int kSenders = 3, kPerSender = 3000, kTotal = kSenders * kPerSender;
  static std::atomic<int> received[kTotal], discarded[kTotal], accounted, admitted, bad;
  for (int i = 0; i < kTotal; ++i) received[i] = discarded[i] = 0;
  accounted = admitted = bad = 0;
  struct CountingHook : TMsgQueueIface<TFunctor*> {
    void OnDiscard(TFunctor** slot) override {
      int i = IndexOf(*slot);
      if (i < 0 || i >= kTotal) ++bad;
      else ++discarded[i], ++accounted;
    }
  } hook;
  auto q = std::make_unique<Queue>(nullptr, &hook, 0);
  const auto deadline = Clock::now() + std::chrono::seconds(20);  // watchdog
  std::atomic<int> sendersLeft{kSenders}, flushes{0};
  std::vector<std::thread> threads;
  for (int s = 0; s < kSenders; ++s)
    threads.emplace_back([&, s] {
      for (int n = 0; n < kPerSender && Clock::now() < deadline; ++n) {
        TFunctor* value = Fake(s * kPerSender + n);
        while (!(n % 5 == 0 ? q->SendPriority(&value, 2) : q->Send(&value, 2)))
          if (Clock::now() >= deadline) return;
        ++admitted;
      }
      --sendersLeft;
    });
  threads.emplace_back([&] {
    for (; sendersLeft > 0 && Clock::now() < deadline; ++flushes) q->Flush(50, true, true);
  });
  threads.emplace_back([&] {  // until every admitted value is accounted for
    while (Clock::now() < deadline && (sendersLeft > 0 || accounted < admitted)) {
      TFunctor* value = nullptr;
      if (!q->Receive(&value, 5, true) || value == nullptr) continue;
      int i = IndexOf(value);
      if (i < 0 || i >= kTotal) ++bad;
      else ++received[i], ++accounted;
    }
  });
  for (std::thread& t : threads) t.join();

  ASSERT_LT(Clock::now(), deadline) << "stalled: " << admitted << " admitted, " << accounted << " accounted";
  EXPECT_EQ(admitted, kTotal);
  EXPECT_EQ(bad, 0);
  EXPECT_GT(flushes, 0);
  int wrong = 0;
  for (int i = 0; i < kTotal; ++i)
    if (received[i] + discarded[i] != 1 && ++wrong <= 5)
      ADD_FAILURE() << "value " << i << ": received " << received[i] << ", discarded " << discarded[i];
  // Item counts left by markers give their places back; then the lanes are whole.
  EXPECT_EQ(Drain(*q), std::vector<int>{});
  EXPECT_EQ(FillBothLanes(*q, 0), std::make_pair(3, 5));
}

}  // namespace
