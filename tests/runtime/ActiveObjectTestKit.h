// What the active-object tests share: a gate that holds a worker inside a functor, a check that
// a thread has ended, the ordering, blocking, nesting and timer checks every kind of object must
// pass, and a deluxe object that records its hooks and timer ticks, with the check of those.
#pragma once

#include <unistd.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Thread.h"
#include "runtime/TActiveObjectBase.h"
#include "runtime/TTimerEx.h"
#include "tests/TestSupport.h"
#include "tests/runtime/LambdaFunctor.h"

namespace testing_support {

// Holds a worker inside a functor until opened, at the latest when the gate goes. The functor
// shares what it uses, so the gate may go while the worker is still leaving it.
struct Gate {
  ~Gate() { Open(); }
  bool Hold(TActiveObjectBase& object, platform::DWORD admissionTimeoutMs = platform::INFINITE_TIMEOUT) {
    object.Post(new LambdaFunctor([opened = opened, entered = entered] {
                  *entered = true;
                  opened.wait();
                }),
                admissionTimeoutMs);
    return WaitFor([this] { return entered->load(); });
  }
  void Open() {
    if (!std::exchange(open, true)) promise.set_value();
  }
  std::promise<void> promise;
  std::shared_future<void> opened = promise.get_future().share();
  std::shared_ptr<std::atomic<bool>> entered = std::make_shared<std::atomic<bool>>(false);
  bool open = false;
};

// How many functors wait in the object's queue (0 when it cannot tell).
inline std::uint32_t Queued(TActiveObjectBase& object) {
  std::uint32_t count = 0;
  return object.GetQueueCount(&count) ? count : 0;
}

inline bool ThreadGone(platform::DWORD tid) {
  return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) != 0;
}

// Posts from several threads at once, then a blocking post: every functor ran, each thread's in
// its order, and all before the blocking one, which returned once it ran.
inline void ExpectEachThreadsOrder(TActiveObjectBase& object) {
  std::vector<int> log;  // worker only, read after the blocking post
  auto rec = [&log](int value) { return new LambdaFunctor([&log, value] { log.push_back(value); }); };
  constexpr int kThreads = 4, kEach = 300;
  {
    std::vector<std::jthread> posters;
    for (int t = 0; t < kThreads; ++t)
      posters.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) EXPECT_TRUE(object.Post(rec(t * 1000 + i), platform::INFINITE_TIMEOUT));
      });
  }
  ASSERT_TRUE(object.PushAndBlock(rec(-1), 0));
  ASSERT_EQ(log.size(), 1u + kThreads * kEach);
  EXPECT_EQ(log.back(), -1);
  std::vector<int> next(kThreads, 0);
  for (int v : log)
    if (v >= 0 && v % 1000 != next[v / 1000]++) ADD_FAILURE() << "out of order: " << v;
}

// Eight threads block in PushAndBlock on a held worker (once at least `queued` of them are
// queued, the worker is let go): each returns true, after its own functor ran.
inline void ExpectBlockingCallersReturnAfterTheirOwn(TActiveObjectBase& object, std::uint32_t queued) {
  constexpr int kCallers = 8;
  std::atomic<bool> ran[kCallers] = {};
  std::vector<std::jthread> callers;
  Gate gate;  // goes first, releasing the callers
  ASSERT_TRUE(gate.Hold(object));
  for (int i = 0; i < kCallers; ++i)
    callers.emplace_back([&, i] {
      EXPECT_TRUE(object.PushAndBlock(new LambdaFunctor([&ran, i] { ran[i] = true; }), platform::INFINITE_TIMEOUT));
      EXPECT_TRUE(ran[i]) << i;
    });
  ASSERT_TRUE(WaitFor([&] { return Queued(object) >= queued; }));
  gate.Open();
}

// On a held worker, functors queue: one that calls PostOrExecute and ExecuteSynchronized (both
// run at once on the worker) and a blocking post, which first runs what was queued before it,
// nesting into a second blocking post; each returns true.
inline void ExpectWorkerCallsRunAtOnceOrDispatchInOrderAndNest(TActiveObjectBase& object) {
  std::vector<std::string> seen;  // worker only until `done`
  std::atomic<bool> done{false};
  auto note = [&seen](const char* text) { return new LambdaFunctor([&seen, text] { seen.push_back(text); }); };
  Gate gate;
  ASSERT_TRUE(gate.Hold(object));
  object.Post(new LambdaFunctor([&] {
                EXPECT_TRUE(object.PostOrExecute(note("at once"), 0));
                EXPECT_TRUE(object.ExecuteSynchronized(note("sent")));
                seen.push_back(object.PushAndBlock(note("P1"), 0) ? "outer true" : "outer false");
                done = true;
              }),
              0);
  object.Post(note("A"), 0);
  object.Post(new LambdaFunctor([&] { seen.push_back(object.PushAndBlock(note("P2"), 0) ? "inner true" : "inner false"); }), 0);
  gate.Open();
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  EXPECT_EQ(seen, (std::vector<std::string>{"at once", "sent", "A", "P1", "P2", "inner true", "outer true"}));
}

// Timers set from this thread fire on the worker: a repeat count of 3 four times, then it ends
// (id 0); -1 until cancelled; a reset one at its new period. Ids count from 65536, and setting a
// set timer again keeps its id.
inline void ExpectTimersFireOnTheWorkerByTheirRepeatCounts(TActiveObjectBase& object, platform::DWORD worker) {
  TTimerEx<TActiveObjectBase> counted, endless, reset;  // each ends or is cancelled before it goes
  std::atomic<int> fires{0}, endlessFires{0}, resetFires{0};
  std::atomic<bool> offWorker{false};
  auto count = [&](std::atomic<int>& n) {
    return new LambdaFunctor([&] {
      ++n;
      if (platform::CurrentThreadId() != worker) offWorker = true;
    });
  };
  counted.SetFunctor(count(fires));
  counted.Setup(2, 3, 0);
  endless.SetFunctor(count(endlessFires));
  endless.Setup(1, -1, 0);
  reset.SetFunctor(count(resetFires));
  reset.Setup(60000, 0, 0);
  EXPECT_TRUE(object.SetTimer(&endless) && object.SetTimer(&counted) && object.SetTimer(&reset));
  const platform::DWORD id = endless.GetId();
  EXPECT_GE(id, 65536u);
  EXPECT_TRUE(object.SetTimer(&endless));
  EXPECT_EQ(endless.GetId(), id);
  EXPECT_TRUE(WaitFor([&] { return fires == 4 && endlessFires >= 10; }));
  EXPECT_TRUE(object.CancelTimer(&endless));
  const int stoppedAt = endlessFires;
  reset.Setup(20, 0, 0);
  EXPECT_TRUE(object.ResetTimer(&reset));
  EXPECT_TRUE(WaitFor([&] { return resetFires == 1; }));  // 20 ms in which the endless one would fire
  EXPECT_TRUE(object.PushAndBlock(new LambdaFunctor([] {}), 0));  // a firing taken before is over
  EXPECT_EQ(endlessFires, stoppedAt);
  EXPECT_EQ(fires, 4);
  EXPECT_EQ(counted.GetId(), 0u);
  EXPECT_FALSE(offWorker);
}

// A deluxe active object (Deluxe: TActiveObjectDeluxe, TWndActiveObjectDeluxe, ...) that records
// its hooks and timer ticks; stops itself before its members go, as a deriving class must.
template <class Deluxe>
class HookProbe : public Deluxe {
 public:
  HookProbe() : Deluxe(u"Probe") {}
  ~HookProbe() override { this->Stop(false, platform::INFINITE_TIMEOUT); }
  void OnStart() override {
    startThread = platform::CurrentThreadId();
    ++starts;
  }
  void OnStop() override {
    stopThread = platform::CurrentThreadId();
    ticksAtStop = ticks.load();
    ++stops;
  }
  void Tick() {
    tickThread = platform::CurrentThreadId();
    ++ticks;
  }
  std::atomic<int> starts{0}, stops{0}, ticks{0}, ticksAtStop{-1};
  std::atomic<platform::DWORD> startThread{0}, stopThread{0}, tickThread{0};
};

// Starts and stops a hook probe `rounds` times, its built-in timer ticking every millisecond:
// OnStart runs once, on the worker, before Start returns, and a second Start fails; the timer
// ticks on the worker (while `running` runs, given the worker's id) and ends before OnStop, which
// runs once on the worker; a second Stop fails, and the worker ends.
template <class Probe>
void ExpectHooksAndBuiltInTimerOnTheWorker(Probe& object, int rounds,
                                           const std::function<void(platform::DWORD)>& running = nullptr) {
  object.GetTimer().SetFunctor(new TFunctor0<Probe>(&object, &Probe::Tick));
  object.GetTimer().Setup(1, -1, 0);
  EXPECT_FALSE(object.Stop(false, platform::INFINITE_TIMEOUT));
  for (int round = 1; round <= rounds; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(object.Start(u"Worker"));
    EXPECT_FALSE(object.Start(u"Again"));
    EXPECT_EQ(object.starts, round);
    const platform::DWORD worker = object.startThread;
    EXPECT_NE(worker, platform::CurrentThreadId());
    EXPECT_EQ(worker, object.GetWorkerThreadId());
    EXPECT_TRUE(round > 1 || object.GetTimer().GetId() == 65536u) << object.GetTimer().GetId();  // the first id
    if (running) running(worker);
    const int before = object.ticks;
    ASSERT_TRUE(WaitFor([&] { return object.ticks >= before + 3; }));
    EXPECT_EQ(object.tickThread, worker);
    EXPECT_TRUE(object.Stop(round == 2, platform::INFINITE_TIMEOUT));
    EXPECT_EQ(object.ticks, object.ticksAtStop);  // nothing fired between the hook and the thread's end
    EXPECT_EQ(object.GetTimer().GetId(), 0u);
    EXPECT_FALSE(object.Stop(false, platform::INFINITE_TIMEOUT));
    EXPECT_EQ(object.stops, round);
    EXPECT_EQ(object.stopThread, worker);
    EXPECT_TRUE(WaitFor([&] { return ThreadGone(worker); }));
  }
}

}  // namespace testing_support
