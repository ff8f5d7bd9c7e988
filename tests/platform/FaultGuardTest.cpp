#include "platform/FaultGuard.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <future>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "tests/TestSupport.h"

namespace {

using platform::GuardResult;

volatile int* volatile g_null = nullptr;
volatile int g_zero = 0, g_one = 1, g_sink;  // a constant 1 / x is compiled without a division
volatile std::size_t g_unbounded = SIZE_MAX;

// The faults are the point here, so the undefined-behaviour checks keep out of their way.
__attribute__((no_sanitize("undefined"))) void ReadNull() { g_sink = *g_null; }
__attribute__((no_sanitize("undefined"))) void DivideByZero() { g_sink = g_one / g_zero; }
// Each frame's volatile buffer is read after the inner call, so the recursion can be neither
// dropped nor made a loop; the depth is never reached.
std::size_t Recurse(std::size_t depth) {
  volatile char pad[1024];
  pad[0] = static_cast<char>(depth);
  return depth == 0 ? pad[0] : Recurse(depth - 1) + pad[0];
}
void OverflowStack() { g_unbounded = Recurse(g_unbounded); }

template <class Fn>
GuardResult Guard(Fn fn, int* signal = nullptr) {
  return platform::RunGuarded(fn, signal);
}

using FaultGuardTest = testing_support::WatchedTest;

TEST_F(FaultGuardTest, ReturnThrowAndFaultsAreToldApartAgainAndAgainOnTheSameThread) {
  for (int round = 0; round < 3; ++round) {
    bool ran = false;
    int signal = -1;
    EXPECT_EQ(Guard([&] { ran = true; }, &signal), GuardResult::Returned);
    EXPECT_TRUE(ran);
    EXPECT_EQ(signal, -1);
    EXPECT_EQ(Guard([] { throw std::runtime_error("x"); }), GuardResult::Threw);
    EXPECT_EQ(Guard([] { throw 7; }), GuardResult::Threw);
    EXPECT_EQ(Guard(ReadNull, &signal), GuardResult::Faulted);
    EXPECT_EQ(signal, SIGSEGV);
    EXPECT_EQ(Guard(DivideByZero, &signal), GuardResult::Faulted);
    EXPECT_EQ(signal, SIGFPE);
  }
}

// On a thread that never ran a guarded call.
TEST_F(FaultGuardTest, StackOverflowIsCaughtOnAFreshThread) {
  std::async(std::launch::async, [] {
    for (int round = 0; round < 2; ++round) {
      int signal = 0;
      EXPECT_EQ(Guard(OverflowStack, &signal), GuardResult::Faulted);
      EXPECT_EQ(signal, SIGSEGV);
    }
    EXPECT_EQ(Guard([] {}), GuardResult::Returned);
  }).get();
}

TEST_F(FaultGuardTest, InnerGuardCatchesItsFaultAndTheOuterGuardIsBackInForce) {
  GuardResult innerFault{}, innerThrow{};
  int signal = 0;
  auto outer = [&] {
    innerFault = Guard(ReadNull);
    innerThrow = Guard([] { throw 1; });
    DivideByZero();  // for the outer guard now
  };
  EXPECT_EQ(Guard(outer, &signal), GuardResult::Faulted);
  EXPECT_EQ(signal, SIGFPE);
  EXPECT_EQ(innerFault, GuardResult::Faulted);
  EXPECT_EQ(innerThrow, GuardResult::Threw);
}

// Under a sanitizer its own SEGV handler was there first: reached through the guard, it reports
// and exits with a failure code instead.
bool DiedOfSegv(int status) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  if (WIFEXITED(status)) return WEXITSTATUS(status) != 0;
#endif
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV;
}

void PreviousHandler(int) {
  (void)!write(STDERR_FILENO, "previous handler\n", 17);
  _exit(42);
}

// Each child arms an alarm so that a bug leaving it hanging ends it too.
TEST(FaultGuardDeathTest, FaultOutsideAnyGuardGoesWhereItWouldWithoutTheGuard) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // On a thread that never ran a guarded call, and on one whose guarded calls are over.
  EXPECT_EXIT((alarm(30), Guard([] {}), std::thread(ReadNull).join()), DiedOfSegv, "");
  EXPECT_EXIT((alarm(30), Guard(ReadNull), Guard([] {}), ReadNull()), DiedOfSegv, "");
  // The handler installed before the guard's still gets them.
  EXPECT_EXIT(
      {
        alarm(30);
        struct sigaction action {};
        action.sa_handler = &PreviousHandler;
        sigaction(SIGSEGV, &action, nullptr);
        if (Guard(ReadNull) == GuardResult::Faulted) std::thread(ReadNull).join();
      },
      testing::ExitedWithCode(42), "previous handler");
}

}  // namespace
