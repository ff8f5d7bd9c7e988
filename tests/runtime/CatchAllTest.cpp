// The catch-all of an active object's worker: with "EnableCatch" on, a functor that throws or
// faults is logged as one line and the worker goes on; with it off, either ends the process.
#include "runtime/CatchAll.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "foundation/TRegEditor.h"
#include "runtime/TActiveObjectEx.h"
#include "tests/TestSupport.h"
#include "tests/runtime/LambdaFunctor.h"

namespace {

using Fn = testing_support::LambdaFunctor;

struct Worker : TActiveObjectEx<Worker, 20> {
  Worker() : TActiveObjectEx(this) {}
};

void Throw() { throw std::runtime_error("functor failed"); }
// Left out of the undefined-behaviour sanitizer, which would report the read instead of making it.
__attribute__((no_sanitize("undefined"))) void ReadNull() {
  volatile int* volatile p = nullptr;
  (void)*p;
}

using CatchAllTest = testing_support::WatchedTest;
using CatchAllDeathTest = CatchAllTest;

// The only test of this program that writes the log, so it may remove the file.
TEST_F(CatchAllTest, ThrowAndFaultAreLoggedOnceEachAndTheWorkerGoesOn) {
  ASSERT_TRUE(TRegEditor().WriteDword(3, u"SOFTWARE\\Tolvane", u"EnableCatch", 1));
  const std::string log = CatchLogPath().ToNarrow();
  std::filesystem::remove(log);
  {
    Worker w;
    ASSERT_TRUE(w.IsCatchEnabled());
    w.Start(u"Catcher");
    std::atomic<int> deleted{0};
    std::string after;  // worker only until the blocking post returns
    w.Post(new Fn(Throw, &deleted, u"Thrower"), 0);
    w.Post(new Fn([&] { after += '1'; }, &deleted), 0);
    w.Post(new Fn(ReadNull, &deleted), 0);
    w.Post(new Fn([&] { after += '2'; }, &deleted), 0);
    // A blocking post of a failing functor still returns, having run it.
    EXPECT_TRUE(w.PushAndBlock(new Fn([] { throw 7; }, &deleted, u"BlockingThrower"), 0));
    EXPECT_EQ(after, "12");
    EXPECT_EQ(deleted, 5);
  }
  // One line each, in order.
  const std::string stamp = "####-##-## ##:##:##.###: Catch TActiveObjectEx<Catcher>::Server_ExecuteFunc - ";
  const std::string codes = ", Error = %%%%%%%%, WSA Error = %%%%%%%%\r\n";
  auto line = [&](const char* func) { return stamp + func + codes; };
  const std::string expected = line("Func : Thrower") + line("No func name") + line("Func : BlockingThrower");
  const std::string text = testing_support::Utf16FileText(log);
  EXPECT_TRUE(testing_support::FitsPattern(text, expected)) << text;
  std::filesystem::remove(log);
}

// Without the catch-all the failure leaves the worker thread: the process ends, before its
// fixture could clean up, so the settings it read are cleaned up first.
void DiesWithoutCatch(testing_support::ActiveObjectEnvironment& environment, void (*failure)()) {
  Worker w;
  environment.CleanUp();
  std::filesystem::remove_all(environment.Registry().Dir().Path());
  if (w.IsCatchEnabled()) return;
  w.Start(u"NoCatch");
  std::atomic<int> deleted{0};
  w.PushAndBlock(new Fn(failure, &deleted, u"Failing"), 0);
}

TEST_F(CatchAllDeathTest, WithCatchOffAThrowOrAFaultInAFunctorEndsTheProcess) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(DiesWithoutCatch(m_environment, Throw), "");
  EXPECT_DEATH(DiesWithoutCatch(m_environment, ReadNull), "");
}

}  // namespace
