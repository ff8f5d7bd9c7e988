#include "runtime/TMsgQueueEx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <numeric>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/TFunctor.h"
#include "tests/TestSupport.h"

namespace {

using testing_support::WaitFor;
using Clock = std::chrono::steady_clock;
using Queue = TMsgQueueEx<TFunctor*, 3>;  // 3 normal places and 5 priority places
using Ints = std::vector<int>;

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
Ints Drain(Queue& q) {
  Ints values;
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
const std::pair<int, int> kWhole{3, 5};

// Deletes real functors as an active object does, or records fake ones; nulls the value.
struct Hook : TMsgQueueIface<TFunctor*> {
  explicit Hook(bool deleteFunctors) : deleteFunctors(deleteFunctors) {}
  void OnDiscard(TFunctor** slot) override {
    if (deleteFunctors) delete *slot;
    else discarded.push_back(IndexOf(*slot));
    *slot = nullptr;
    ++calls;
  }
  const bool deleteFunctors;
  std::atomic<int> calls{0};
  Ints discarded;  // touched by one thread at a time
};

TEST(TMsgQueueExTest, PriorityLaneAdmitsFiveMoreAndBothLanesStayInOrder) {
  auto q = std::make_unique<Queue>(nullptr, nullptr, 0);
  auto start = Clock::now();
  EXPECT_EQ(Receive(*q), -2);
  EXPECT_EQ(FillBothLanes(*q, 0), kWhole);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));  // refusals and time-out 0 come at once
  // While priority values are pending, a value taken frees a priority place.
  EXPECT_EQ(Receive(*q), 0);
  EXPECT_FALSE(Send(*q, 99));
  EXPECT_TRUE(Send(*q, 8, true));
  EXPECT_EQ(Drain(*q), (Ints{1, 2, 3, 4, 5, 6, 7, 8}));  // FIFO across the lanes
  EXPECT_EQ(FillBothLanes(*q, 20), kWhole);  // every place went back to its lane
  // A blocked sender proceeds when the receiver takes a value.
  std::thread sender([&] {
    TFunctor* value = Fake(28);
    EXPECT_TRUE(q->SendPriority(&value, 10000));  // the time-out bounds the test
  });
  EXPECT_EQ(Receive(*q), 20);
  sender.join();
  EXPECT_EQ(Drain(*q), (Ints{21, 22, 23, 24, 25, 26, 27, 28}));
}

TEST(TMsgQueueExTest, FlushWithTheReceiverStoppedOrThroughIt) {
  Hook hook(false);
  auto q = std::make_unique<Queue>(nullptr, &hook, 0);
  // Receiver stopped: everything goes at once, each value to the hook once (unless told not to).
  for (int i = 20; i < 24; ++i) ASSERT_TRUE(Send(*q, i, i % 2 == 1));
  EXPECT_TRUE(q->Flush(0, false, true));
  EXPECT_EQ(hook.discarded, (Ints{20, 21, 22, 23}));
  EXPECT_EQ(FillBothLanes(*q, 30), kWhole);
  EXPECT_TRUE(q->Flush(0, false, false));  // the places come back either way (checked below)

  // Through the receiver (this thread, between its calls): discards up to the marker at its next take.
  ASSERT_TRUE(Send(*q, 0));
  ASSERT_TRUE(Send(*q, 1, true));
  EXPECT_TRUE(q->Flush(0, true, true));
  ASSERT_TRUE(Send(*q, 2));
  EXPECT_EQ(Receive(*q), 2);
  EXPECT_EQ(hook.discarded, (Ints{20, 21, 22, 23, 0, 1}));
  // A flush that empties the ring: the value taken is the marker.
  ASSERT_TRUE(Send(*q, 3));
  EXPECT_TRUE(q->Flush(0, true, true));
  EXPECT_EQ(Receive(*q), -1);
  EXPECT_EQ(Drain(*q), Ints{});
  // With the normal lane full no marker fits and the whole ring goes.
  EXPECT_EQ(FillBothLanes(*q, 4), kWhole);
  EXPECT_TRUE(q->Flush(0, true, true));
  EXPECT_EQ(Drain(*q), Ints{});
  EXPECT_EQ(hook.discarded, (Ints{20, 21, 22, 23, 0, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  EXPECT_EQ(FillBothLanes(*q, 20), kWhole);  // every place came back
}

// Work for a receiver thread: runs record their argument; Block holds the thread until released.
struct Work {
  std::atomic<int> ran{0}, lastRun{0}, blocked{0};
  std::atomic<bool> release{false};
  void Run(int n) { lastRun = n, ++ran; }
  void Block() { ++blocked, WaitFor([this] { return release.load(); }); }
};

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
  post(new TFunctor0<Work>(&work, &Work::Block));  // keeps the receiver inside a call
  EXPECT_TRUE(WaitFor([&] { return work.blocked == 1; }));
  post(new TFunctor1<Work, int>(&work, &Work::Run, 1));
  post(new TFunctor1<Work, int>(&work, &Work::Run, 2));
  int discardedAtReturn = -1;
  std::thread flusher([&] {
    q->Flush(10000, true, true);
    discardedAtReturn = hook.calls + work.ran;
  });
  EXPECT_TRUE(WaitFor([&] { return q->GetCount() == 3; }));  // the marker is queued
  work.release = true;
  flusher.join();
  EXPECT_EQ(discardedAtReturn, 2);  // both discarded, each once, before the flush returned
  post(new TFunctor1<Work, int>(&work, &Work::Run, 3));  // sent after the flush: kept
  EXPECT_TRUE(WaitFor([&] { return work.ran == 1; }));
  EXPECT_EQ(work.lastRun, 3);
  stop = true;
  receiver.join();
  EXPECT_EQ(hook.calls, 2);
}

// Senders, a receiver and a flusher: every value admitted is received or discarded exactly once.
TEST(TMsgQueueExTest, StressNoValueIsLostOrDuplicated) {
  constexpr int kSenders = 3, kPerSender = 3000, kTotal = kSenders * kPerSender;
  Hook hook(false);  // called by the receiver only
  auto q = std::make_unique<Queue>(nullptr, &hook, 0);
  const auto deadline = Clock::now() + std::chrono::seconds(20);  // watchdog
  std::atomic<int> sendersLeft{kSenders}, admitted{0}, flushes{0};
  Ints seen;  // received, then discarded
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
    while (Clock::now() < deadline && (sendersLeft > 0 || hook.calls + static_cast<int>(seen.size()) < admitted)) {
      TFunctor* value = nullptr;
      if (q->Receive(&value, 5, true) && value != nullptr) seen.push_back(IndexOf(value));
    }
  });
  for (std::thread& t : threads) t.join();

  ASSERT_LT(Clock::now(), deadline) << "stalled: " << admitted << " admitted, " << seen.size() << " received";
  EXPECT_GT(flushes, 0);
  seen.insert(seen.end(), hook.discarded.begin(), hook.discarded.end());
  std::sort(seen.begin(), seen.end());
  Ints all(kTotal);
  std::iota(all.begin(), all.end(), 0);
  EXPECT_EQ(seen, all);
  // Item counts left by markers give their places back; then the lanes are whole.
  q->SetReceiverThread(platform::CurrentThreadId());  // the receiving thread has ended: this one takes over
  EXPECT_EQ(Drain(*q), Ints{});
  EXPECT_EQ(FillBothLanes(*q, 0), kWhole);
}

// A receive off the receiver's thread is a thread-affinity fault: the check names the function
// and both threads, and aborts.
TEST(TMsgQueueExDeathTest, ReceiveOffTheReceiverThreadAborts) {
  if (!TOLVANE_THREAD_CHECKS) GTEST_SKIP() << "built without thread checks";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Hook hook(false);
  Queue q(nullptr, &hook, 0);
  EXPECT_EQ(Receive(q), -2);  // this thread is the receiver now
  EXPECT_DEATH(std::thread([&] { Receive(q); }).join(),
               "Thread check failed: bool TMsgQueueEx<.*>::Receive\\(.*\\) .*called on thread [0-9]+, belongs to thread [0-9]+");
  q.SetReceiverThread(0);  // named again: the next thread to receive takes over
  std::thread([&] { EXPECT_EQ(Receive(q), -2); }).join();
}

}  // namespace
