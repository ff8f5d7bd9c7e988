#include "runtime/TFunctor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "foundation/TStringEx.h"
#include "platform/Thread.h"

namespace {

using Calls = std::vector<std::string>;

struct Target {
  Calls calls;
  void Ping() { calls.push_back("ping"); }
  void Number(int n) { calls.push_back("n" + std::to_string(n)); }
  void Pair(int n, TStringEx text) {
    calls.push_back(std::to_string(n) + ":" + text.ToNarrow());
    text = TStringEx(u"changed by the callee");  // must not reach the stored copy
  }
  void Fail() { throw std::runtime_error("call failed"); }
};

TEST(TFunctorTest, CallsTheMemberWithTheStoredArgumentsAndExecuteWithReplacesThem) {
  Target first, second;
  TFunctor0<Target> f0(&first, &Target::Ping);
  TFunctor1<Target, int> f1(&first, &Target::Number, 7);
  TStringEx text(u"a");
  TFunctor2<Target, int, TStringEx> f2(&first, &Target::Pair, 1, text);
  text = TStringEx(u"edited");  // the functor holds its own copy
  f0.Execute(), f1.Execute(), f2.Execute(), f2.Execute();
  // A null object keeps the stored one; the arguments are stored either way.
  f0.ExecuteWith(nullptr), f1.ExecuteWith(nullptr, 2), f2.ExecuteWith(nullptr, 3, TStringEx(u"b"));
  f0.ExecuteWith(&second), f1.ExecuteWith(&second, 4), f2.ExecuteWith(&second, 5, TStringEx(u"c"));
  f1.Execute(), f2.Execute();
  EXPECT_EQ(first.calls, (Calls{"ping", "n7", "1:a", "1:a", "ping", "n2", "3:b"}));
  EXPECT_EQ(second.calls, (Calls{"ping", "n4", "5:c", "n4", "5:c"}));
}

// A member of the second base must run on that base's subobject, not on the start of the object.
struct FirstBase {
  virtual ~FirstBase() = default;
  int firstData = 1;
};
struct SecondBase {
  void Mark() { seen = this; }
  const SecondBase* seen = nullptr;
};
struct Both : FirstBase, SecondBase {};

TEST(TFunctorTest, MemberOfASecondBaseRunsOnItsSubobject) {
  Both both;
  const SecondBase* second = &both;
  ASSERT_NE(static_cast<const void*>(second), static_cast<const void*>(&both));
  TFunctor0<Both> mark(&both, &SecondBase::Mark);
  mark.Execute();
  EXPECT_EQ(both.seen, second);
  EXPECT_EQ(both.firstData, 1);
}

using Event = std::tuple<std::string, TFunctor*, platform::DWORD>;
using Events = std::vector<Event>;

// Records every call; used by one thread at a time.
struct RecordingTracer : ITFunctorStackTracer {
  void Reserved() override { events.emplace_back("reserved", nullptr, 0); }
  void OnEnter(TFunctor* f, platform::DWORD id) override { events.emplace_back("enter", f, id); }
  void OnLeave(TFunctor* f, platform::DWORD id) override { events.emplace_back("leave", f, id); }
  void OnCreated(TFunctor* f) override { events.emplace_back("created", f, 0); }
  void OnDestroyed(TFunctor* f) override { events.emplace_back("destroyed", f, 0); }
  Events events;
};

// An object whose virtual functions are data: it passes every readability check, calling it faults.
int g_notCode[5];
const void* const g_dataTable[5] = {&g_notCode[0], &g_notCode[1], &g_notCode[2], &g_notCode[3], &g_notCode[4]};
const void* const g_fakeObject = g_dataTable;
alignas(8) int g_plainInt = 4096;

class FunctorTracerTest : public ::testing::Test {
 protected:
  void SetUp() override { TearDown(); }
  void TearDown() override {
    unsetenv(m_variable.c_str());
    TFunctor::ResetTracerForTesting();
  }
  void Use(const std::string& value) {
    TFunctor::ResetTracerForTesting();
    setenv(m_variable.c_str(), value.c_str(), 1);
  }
  static std::string AddressOf(const void* p) { return std::to_string(reinterpret_cast<std::uintptr_t>(p)); }
  void Cycle() {  // one functor made, run and destroyed
    TFunctor0<Target> functor(&m_target, &Target::Ping);
    functor.Execute();
  }

  const std::string m_variable = std::to_string(getpid()) + "FuncTrcData02";
  RecordingTracer m_tracer;
  Target m_target;
  const platform::DWORD m_self = platform::CurrentThreadId();
};

TEST_F(FunctorTracerTest, AbsentOrNotATracerOfThisProcessMeansNoTracer) {
  Cycle();  // without the variable
  setenv(m_variable.c_str(), AddressOf(&m_tracer).c_str(), 1);  // too late: the answer is kept
  Cycle();
  EXPECT_EQ(TFunctor::GetTracer(), nullptr);
  int onStack = 0;
  const std::string values[] = {"0", "", "tracer", "-", "12345", "4096", "18446744073709551615",
                                AddressOf(&onStack), AddressOf(&g_plainInt), AddressOf(g_dataTable),
                                AddressOf(&g_fakeObject), AddressOf(&m_tracer) + "8"};
  for (const std::string& value : values) {
    SCOPED_TRACE("variable '" + value + "'");
    Use(value);
    Cycle();  // must neither call anything nor crash
    EXPECT_EQ(TFunctor::GetTracer(), nullptr);
  }
  EXPECT_TRUE(m_tracer.events.empty());
  EXPECT_EQ(m_target.calls.size(), std::size(values) + 2);
}

TEST_F(FunctorTracerTest, ATracerIsToldOfCreationCallsAndDestruction) {
  Use("  " + AddressOf(&m_tracer) + " trailing text");  // read as its leading number
  auto* functor = new TFunctor1<Target, int>(&m_target, &Target::Number, 1);
  TFunctor* failing = new TFunctor0<Target>(&m_target, &Target::Fail);
  platform::DWORD other = 0;
  std::thread([&] {
    other = platform::CurrentThreadId();
    functor->ExecuteWith(nullptr, 2);
  }).join();
  ASSERT_NE(other, m_self);
  EXPECT_THROW(failing->Execute(), std::runtime_error);
  delete functor;
  delete failing;
  // A deleted functor is always left once more: a throwing call never reached its own leave.
  EXPECT_EQ(m_tracer.events, (Events{{"created", functor, 0}, {"created", failing, 0}, {"enter", functor, other},
                                     {"leave", functor, other}, {"enter", failing, m_self},
                                     {"leave", functor, m_self}, {"destroyed", functor, 0},
                                     {"leave", failing, m_self}, {"destroyed", failing, 0}}));
}

}  // namespace
