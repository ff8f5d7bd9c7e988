#include "runtime/TActiveObjectDeluxe.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <future>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "foundation/TRegEditor.h"
#include "tests/TestSupport.h"

namespace {

using platform::CurrentThreadId;
using platform::DWORD;
using testing_support::WaitFor;
constexpr DWORD kForever = platform::INFINITE_TIMEOUT;

// Runs the body on a thread of its own; a body still running after a minute (a deadlock) ends
// the program with a message instead of hanging it.
void WithWatchdog(const std::function<void()>& body) {
  auto done = std::async(std::launch::async, body);
  if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    std::fprintf(stderr, "watchdog: %s deadlocked\n", testing::UnitTest::GetInstance()->current_test_info()->name());
    std::abort();
  }
  done.get();
}

// A functor over a lambda that counts its deletions.
class Call : public TFunctor {
 public:
  explicit Call(std::function<void()> body, std::atomic<int>* deleted = nullptr) : m_body(std::move(body)), m_deleted(deleted) {
    NotifyCreated();
  }
  ~Call() override {
    if (m_deleted != nullptr) ++*m_deleted;
  }
  void Execute() override { m_body(); }

 private:
  std::function<void()> m_body;
  std::atomic<int>* m_deleted;
};

struct Ticker {
  std::atomic<int> count{0};
  std::atomic<DWORD> thread{0};
  void Tick() {
    thread = CurrentThreadId();
    ++count;
  }
};

bool ThreadGone(DWORD tid) { return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) != 0; }

// Records its hooks; stops itself before its members go, as a deriving class must.
class Probe : public TActiveObjectDeluxe {
 public:
  Probe() : TActiveObjectDeluxe(u"Probe") {}
  ~Probe() override { Stop(false, kForever); }
  void OnStart() override {
    startThread = CurrentThreadId();
    ++starts;
  }
  void OnStop() override {
    stopThread = CurrentThreadId();
    ticksAtStop = ticker.count.load();
    ++stops;
  }
  void UseTimer() {
    GetTimer().SetFunctor(new TFunctor0<Ticker>(&ticker, &Ticker::Tick));
    GetTimer().Setup(1, -1, 0);
  }
  std::atomic<int> starts{0}, stops{0}, ticksAtStop{-1};
  std::atomic<DWORD> startThread{0}, stopThread{0};
  Ticker ticker;
};

class DeluxeTest : public testing::Test {
 protected:
  testing_support::ActiveObjectEnvironment m_environment;
};

TEST_F(DeluxeTest, HooksRunOnTheWorkerOncePerStartAndStop) {
  WithWatchdog([] {
    Probe object;
    object.GetTimer().Setup(1, -1, 0);  // no functor: never scheduled
    EXPECT_FALSE(object.Stop(false, kForever));
    ASSERT_TRUE(object.Start(u"Worker"));
    EXPECT_EQ(object.starts, 1);  // before Start returned
    DWORD worker = object.startThread;
    EXPECT_NE(worker, CurrentThreadId());
    EXPECT_EQ(worker, object.GetWorkerThreadId());
    EXPECT_EQ(object.GetDeluxeName(), u"Worker");
    EXPECT_EQ(object.GetTimer().GetId(), 0u);
    EXPECT_FALSE(object.Start(u"Again"));
    EXPECT_EQ(object.starts, 1);
    EXPECT_TRUE(object.Stop(false, kForever));
    EXPECT_EQ(object.stops, 1);
    EXPECT_EQ(object.stopThread, worker);
    EXPECT_EQ(object.GetTimer().GetId(), 0u);
    EXPECT_TRUE(WaitFor([&] { return ThreadGone(worker); }));
    EXPECT_FALSE(object.Stop(false, kForever));
    EXPECT_EQ(object.stops, 1);
  });
}

TEST_F(DeluxeTest, BuiltInTimerRunsFromStartToStopAcrossRestarts) {
  WithWatchdog([] {
    Probe object;
    object.UseTimer();
    for (int round = 1; round <= 2; ++round) {
      ASSERT_TRUE(object.Start(u"Restart"));
      EXPECT_EQ(object.starts, round);
      int before = object.ticker.count;
      ASSERT_TRUE(WaitFor([&] { return object.ticker.count >= before + 3; })) << "round " << round;
      EXPECT_EQ(object.ticker.thread, object.GetWorkerThreadId());
      EXPECT_TRUE(object.Stop(round == 2, kForever));
      // Cancelled before OnStop: nothing fired between the hook and the end of the thread.
      EXPECT_EQ(object.ticker.count, object.ticksAtStop);
      EXPECT_EQ(object.GetTimer().GetId(), 0u);
    }
  });
}

TEST_F(DeluxeTest, ExecuteSynchronizedRunsOnTheWorkerBeforeReturning) {
  WithWatchdog([] {
    Probe object;
    std::atomic<int> deleted{0};
    std::atomic<DWORD> where{0};
    auto record = [&] { where = CurrentThreadId(); };
    EXPECT_FALSE(object.ExecuteSynchronized(nullptr));
    EXPECT_FALSE(object.ExecuteSynchronized(new Call(record, &deleted)));  // never started
    EXPECT_EQ(deleted, 1);
    ASSERT_TRUE(object.Start(u"Sync"));
    EXPECT_TRUE(object.ExecuteSynchronized(new Call(record, &deleted)));
    EXPECT_EQ(where, object.GetWorkerThreadId());
    EXPECT_EQ(deleted, 2);
    // From the worker itself it runs at once instead of waiting for itself.
    std::atomic<bool> nested{false};
    EXPECT_TRUE(object.ExecuteSynchronized(new Call([&] { nested = object.ExecuteSynchronized(new Call(record, &deleted)); })));
    EXPECT_TRUE(nested);
    EXPECT_EQ(deleted, 3);
    EXPECT_TRUE(object.Stop(false, kForever));
    where = 0;
    EXPECT_FALSE(object.ExecuteSynchronized(new Call(record, &deleted)));
    EXPECT_EQ(deleted, 4);
    EXPECT_EQ(where, 0u);
  });
}

TEST_F(DeluxeTest, CallersAreServedOneAtATimeAndEachWaitsForItsOwnFunctor) {
  WithWatchdog([] {
    Probe object;
    ASSERT_TRUE(object.Start(u"Serial"));
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> firstIn{false}, secondRan{false};
    auto first = std::async(std::launch::async, [&] {
      return object.ExecuteSynchronized(new Call([&] {
        firstIn = true;
        released.wait();
      }));
    });
    ASSERT_TRUE(WaitFor([&] { return firstIn.load(); }));
    auto second = std::async(std::launch::async, [&] {
      bool result = object.ExecuteSynchronized(new Call([&] { secondRan = true; }));
      return result && secondRan;  // returned only after its own functor ran
    });
    release.set_value();
    EXPECT_TRUE(first.get());
    EXPECT_TRUE(second.get());

    // Two callers at once, many times: neither is woken by the other's reply.
    auto caller = [&] {
      for (int i = 0; i < 200; ++i) {
        std::atomic<bool> mine{false};
        if (!object.ExecuteSynchronized(new Call([&] { mine = true; })) || !mine) return false;
      }
      return true;
    };
    auto other = std::async(std::launch::async, caller);
    EXPECT_TRUE(caller());
    EXPECT_TRUE(other.get());
  });
}

// A call whose functor never returns normally fails; its caller is never left waiting.
TEST_F(DeluxeTest, CallerIsReleasedWhenItsFunctorIsFlushedOrThrows) {
  ASSERT_TRUE(TRegEditor().WriteDword(3, u"SOFTWARE\\Tolvane", u"EnableCatch", 1));
  WithWatchdog([] {
    Probe object;
    ASSERT_TRUE(object.IsCatchEnabled());
    ASSERT_TRUE(object.Start(u"Release"));
    std::atomic<int> deleted{0};
    EXPECT_FALSE(object.ExecuteSynchronized(new Call([] { throw std::runtime_error("boom"); }, &deleted)));
    EXPECT_EQ(deleted, 1);

    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> busy{false}, ran{false};
    ASSERT_TRUE(object.Post(new Call([&] {
      busy = true;
      released.wait();
    }), 0));
    ASSERT_TRUE(WaitFor([&] { return busy.load(); }));
    auto caller = std::async(std::launch::async, [&] { return object.ExecuteSynchronized(new Call([&] { ran = true; }, &deleted)); });
    std::uint32_t queued = 0;
    ASSERT_TRUE(WaitFor([&] { return object.GetQueueCount(&queued) && queued == 1; }));
    object.Flush(0);
    release.set_value();
    EXPECT_FALSE(caller.get());
    EXPECT_FALSE(ran);
    EXPECT_EQ(deleted, 2);
    EXPECT_TRUE(object.ExecuteSynchronized(new Call([] {})));
  });
}

// The big variant, smoke-tested, then destroyed while running: it is stopped first.
TEST_F(DeluxeTest, BigBadAssVariantWorksAndIsStoppedWhenDestroyedRunning) {
  WithWatchdog([] {
    Ticker ticker;  // outlives the object
    auto object = std::make_unique<TBigBadAssActiveObjectDeluxe>(u"Big");
    object->GetTimer().SetFunctor(new TFunctor0<Ticker>(&ticker, &Ticker::Tick));
    object->GetTimer().Setup(1, -1, 0);
    ASSERT_TRUE(object->Start(u"Big"));
    EXPECT_FALSE(object->Start(u"Big"));
    std::atomic<DWORD> where{0};
    EXPECT_TRUE(object->ExecuteSynchronized(new Call([&] { where = CurrentThreadId(); })));
    DWORD worker = object->GetWorkerThreadId();
    EXPECT_EQ(where, worker);
    EXPECT_NE(where, CurrentThreadId());
    ASSERT_TRUE(WaitFor([&] { return ticker.count >= 3; }));
    EXPECT_EQ(ticker.thread, worker);
    object.reset();
    EXPECT_TRUE(WaitFor([&] { return ThreadGone(worker); }));
  });
}

}  // namespace
