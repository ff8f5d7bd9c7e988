#include "runtime/TActiveObjectDeluxe.h"

#include <unistd.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "foundation/TRegEditor.h"
#include "tests/TestSupport.h"
#include "tests/runtime/ActiveObjectTestKit.h"
#include "tests/runtime/LambdaFunctor.h"

namespace {

using platform::CurrentThreadId;
using platform::DWORD;
using testing_support::WaitFor;
constexpr DWORD kForever = platform::INFINITE_TIMEOUT;

using Call = testing_support::LambdaFunctor;

using testing_support::ThreadGone;
using Probe = testing_support::HookProbe<TActiveObjectDeluxe>;

using DeluxeTest = testing_support::WatchedTest;

TEST_F(DeluxeTest, HooksAndBuiltInTimerRunOnTheWorkerFromStartToStop) {
  Probe object;
  testing_support::ExpectHooksAndBuiltInTimerOnTheWorker(object, 2);
}

TEST_F(DeluxeTest, ExecuteSynchronizedRunsOnTheWorkerForEachCallerBeforeItReturns) {
  Probe object;
  std::atomic<int> deleted{0};
  std::atomic<DWORD> where{0};
  auto record = [&] { where = CurrentThreadId(); };
  EXPECT_FALSE(object.ExecuteSynchronized(new Call(record, &deleted)));  // never started
  ASSERT_TRUE(object.Start(u"Sync"));
  EXPECT_TRUE(object.ExecuteSynchronized(new Call(record, &deleted)));
  EXPECT_EQ(where, object.GetWorkerThreadId());
  testing_support::ExpectWorkerCallsRunAtOnceOrDispatchInOrderAndNest(object);  // from the worker: at once
  // Two callers at once, many times: each returns after its own functor, never woken by the other's reply.
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
  EXPECT_TRUE(object.Stop(false, kForever));
  where = 0;
  EXPECT_FALSE(object.ExecuteSynchronized(new Call(record, &deleted)));
  EXPECT_EQ(where, 0u);
  EXPECT_EQ(deleted, 3);
}

// A call whose functor never returns normally fails; its caller is never left waiting.
TEST_F(DeluxeTest, CallerIsReleasedWhenItsFunctorIsFlushedOrThrows) {
  ASSERT_TRUE(TRegEditor().WriteDword(3, u"SOFTWARE\\Tolvane", u"EnableCatch", 1));
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
  ASSERT_TRUE(WaitFor([&] { return testing_support::Queued(object) == 1; }));
  object.Flush(0);
  release.set_value();
  EXPECT_FALSE(caller.get());
  EXPECT_FALSE(ran);
  EXPECT_EQ(deleted, 2);
  EXPECT_TRUE(object.ExecuteSynchronized(new Call([] {})));
}

// The big variant, destroyed while running: it is stopped first.
TEST_F(DeluxeTest, BigBadAssVariantWorksAndIsStoppedWhenDestroyedRunning) {
  auto object = std::make_unique<TBigBadAssActiveObjectDeluxe>(u"Big");
  ASSERT_TRUE(object->Start(u"Big"));
  EXPECT_TRUE(object->ExecuteSynchronized(new Call([] {})));
  DWORD worker = object->GetWorkerThreadId();
  object.reset();
  EXPECT_TRUE(WaitFor([&] { return ThreadGone(worker); }));
}

}  // namespace
