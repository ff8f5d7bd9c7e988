#include "runtime/TFunctor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
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
  int* destroyed = nullptr;
  ~Target() {
    if (destroyed != nullptr) ++*destroyed;
  }
  void Ping() { calls.push_back("ping"); }
  void Number(int n) { calls.push_back("n" + std::to_string(n)); }
  void Pointer(int* p) { calls.push_back("p" + std::to_string(*p)); }
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
  EXPECT_EQ(f0.m_name, nullptr);
  EXPECT_EQ(f2.m_name, nullptr);
  f0.Execute(), f1.Execute(), f2.Execute(), f2.Execute();
  // A null object keeps the stored one; the arguments are stored either way.
  f0.ExecuteWith(nullptr), f1.ExecuteWith(nullptr, 2), f2.ExecuteWith(nullptr, 3, TStringEx(u"b"));
  f0.ExecuteWith(&second), f1.ExecuteWith(&second, 4), f2.ExecuteWith(&second, 5, TStringEx(u"c"));
  f1.Execute(), f2.Execute();
  EXPECT_EQ(first.calls, (Calls{"ping", "n7", "1:a", "1:a", "ping", "n2", "3:b"}));
  EXPECT_EQ(second.calls, (Calls{"ping", "n4", "5:c", "n4", "5:c"}));
}

TEST(TFunctorTest, DeletingAFunctorLeavesItsTargetAndPointerArgumentAlone) {
  int targetsDestroyed = 0;
  auto target = std::make_unique<Target>();
  target->destroyed = &targetsDestroyed;
  auto argument = std::make_unique<int>(42);
  TFunctor* functor = new TFunctor1<Target, int*>(target.get(), &Target::Pointer, argument.get());
  functor->Execute();
  delete functor;  // through the base
  EXPECT_EQ(targetsDestroyed, 0);
  EXPECT_EQ(*argument, 42);  // still owned here (ASan reports a double free otherwise)
  EXPECT_EQ(target->calls, (Calls{"p42"}));
}

// A member of the second base must run on that base's subobject, not on the start of the object.
struct FirstBase {
  virtual ~FirstBase() = default;
  int firstData = 1;
};
struct SecondBase {
  virtual ~SecondBase() = default;
  void Add(int n) { seen = this, total += n; }
  const SecondBase* seen = nullptr;
  int total = 0;
};
struct Both : FirstBase, SecondBase {};

TEST(TFunctorTest, MemberOfASecondBaseRunsOnItsSubobject) {
  Both both;
  const SecondBase* second = &both;
  ASSERT_NE(static_cast<const void*>(second), static_cast<const void*>(&both));
  TFunctor1<Both, int> add(&both, &SecondBase::Add, 5);
  add.Execute();
  add.ExecuteWith(nullptr, 6);
  EXPECT_EQ(both.seen, second);
  EXPECT_EQ(both.total, 11);
  EXPECT_EQ(both.firstData, 1);
}

// ---- The functor stack tracer ----

using Event = std::tuple<std::string, TFunctor*, platform::DWORD>;
using Events = std::vector<Event>;

// Records every call; used by one thread at a time.
class RecordingTracer : public ITFunctorStackTracer {
 public:
  void Reserved() override { events.emplace_back("reserved", nullptr, 0); }
  void OnEnter(TFunctor* f, platform::DWORD id) override { events.emplace_back("enter", f, id); }
  void OnLeave(TFunctor* f, platform::DWORD id) override { events.emplace_back("leave", f, id); }
  void OnCreated(TFunctor* f) override { events.emplace_back("created", f, 0); }
  void OnDestroyed(TFunctor* f) override { events.emplace_back("destroyed", f, 0); }
  Events events;
};

// Laid out like an object whose virtual functions are data of this program: it passes every
// readability check, and calling into it would fault.
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
};

TEST_F(FunctorTracerTest, WithoutTheVariableThereIsNoTracerAndNoSecondLookup) {
  Cycle();
  EXPECT_EQ(TFunctor::GetTracer(), nullptr);
  setenv(m_variable.c_str(), AddressOf(&m_tracer).c_str(), 1);  // too late: the answer is kept
  Cycle();
  EXPECT_EQ(TFunctor::GetTracer(), nullptr);
  EXPECT_TRUE(m_tracer.events.empty());
  TFunctor::ResetTracerForTesting();
  Cycle();
  EXPECT_EQ(TFunctor::GetTracer(), &m_tracer);
  EXPECT_EQ(m_tracer.events.size(), 5u);
}

TEST_F(FunctorTracerTest, ValuesThatAreNotATracerOfThisProcessAreIgnored) {
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
  EXPECT_EQ(m_target.calls.size(), std::size(values));
}

TEST_F(FunctorTracerTest, ATracerIsToldOfCreationCallsAndDestruction) {
  Use("  " + AddressOf(&m_tracer) + " trailing text");  // read as its leading number
  const platform::DWORD self = platform::CurrentThreadId();
  auto* functor = new TFunctor1<Target, int>(&m_target, &Target::Number, 1);
  EXPECT_EQ(TFunctor::GetTracer(), &m_tracer);
  functor->Execute();
  functor->ExecuteWith(nullptr, 2);
  platform::DWORD other = 0;
  std::thread([&] {
    other = platform::CurrentThreadId();
    functor->Execute();
  }).join();
  ASSERT_NE(other, self);
  delete functor;
  EXPECT_EQ(m_tracer.events, (Events{{"created", functor, 0}, {"enter", functor, self}, {"leave", functor, self},
                                     {"enter", functor, self}, {"leave", functor, self}, {"enter", functor, other},
                                     {"leave", functor, other}, {"leave", functor, self}, {"destroyed", functor, 0}}));
  EXPECT_EQ(m_target.calls, (Calls{"n1", "n2", "n2"}));
}

TEST_F(FunctorTracerTest, AFunctorWhoseCallThrowsIsStillLeftWhenDeleted) {
  Use(AddressOf(&m_tracer));
  TFunctor* functor = new TFunctor0<Target>(&m_target, &Target::Fail);
  EXPECT_THROW(functor->Execute(), std::runtime_error);
  delete functor;
  const platform::DWORD self = platform::CurrentThreadId();
  EXPECT_EQ(m_tracer.events, (Events{{"created", functor, 0}, {"enter", functor, self},
                                     {"leave", functor, self}, {"destroyed", functor, 0}}));
}

}  // namespace
