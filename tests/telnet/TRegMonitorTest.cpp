// TRegMonitor: which keys can be added, callbacks on the monitor's thread (one per key and tick,
// lowest cookie first, again once the key is armed again), and destruction ending the thread.
#include "telnet/TRegMonitor.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/TRegEditor.h"
#include "tests/TestSupport.h"
#include "tests/runtime/ActiveObjectTestKit.h"

namespace {

using namespace std::chrono_literals;

constexpr platform::DWORD kMachine = 3;
constexpr const char16_t* kFirst = u"SOFTWARE\\Monitored\\First";
constexpr const char16_t* kSecond = u"SOFTWARE\\Monitored\\Second";

// Records every callback: which one, with what cookie, on which thread.
struct Owner {
  struct Call {
    std::string what, threadName;
    std::uint32_t cookie;
    platform::DWORD thread;
  };
  void OnFirst() { Note("first", 0); }
  void OnDefault(std::uint32_t cookie) { Note("default", cookie); }
  void Note(const char* what, std::uint32_t cookie) {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    std::lock_guard<std::mutex> hold(lock);
    calls.push_back({what, name, cookie, platform::CurrentThreadId()});
  }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> hold(lock);
    return calls;
  }
  std::mutex lock;
  std::vector<Call> calls;
};

using Info = TKeyMonitoringInfo<Owner>;

Info KeyInfo(const char16_t* path, Info::CallbackMethod callback) {
  Info info;
  info.SubKey = path;
  info.Callback = callback;
  return info;
}

class RegMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_editor.CreateKey(kMachine, kFirst));
    ASSERT_TRUE(m_editor.CreateKey(kMachine, kSecond));
  }
  void Change(const char16_t* key) { ASSERT_TRUE(m_editor.WriteDword(kMachine, key, u"Value", ++m_written)); }

  testing_support::ActiveObjectEnvironment m_environment;
  TRegEditor m_editor;
  Owner m_owner;
  platform::DWORD m_written = 0;
};

}  // namespace

TEST_F(RegMonitorTest, OnlyExistingKeysAreAddedAndCookiesCountFromOne) {
  TRegMonitor<Owner> monitor(&m_owner, &Owner::OnDefault);
  EXPECT_EQ(monitor.AddKey(KeyInfo(u"SOFTWARE\\Monitored\\Missing", &Owner::OnFirst)), 0u);
  EXPECT_FALSE(m_editor.KeyExists(kMachine, u"SOFTWARE\\Monitored\\Missing"));  // not created
  Info bad = KeyInfo(kFirst, nullptr);
  bad.NotifyFilter = 0x100;  // no change kind the registry knows
  EXPECT_EQ(monitor.AddKey(bad), 0u);
  EXPECT_EQ(monitor.AddKey(KeyInfo(kFirst, nullptr)), 1u);
}

TEST_F(RegMonitorTest, ChangesCallBackOnTheMonitorThreadOneKeyPerTickLowestCookieFirstUntilDestroyed) {
  auto monitor = std::make_unique<TRegMonitor<Owner>>(&m_owner, &Owner::OnDefault);
  ASSERT_EQ(monitor->AddKey(KeyInfo(kFirst, &Owner::OnFirst)), 1u);
  ASSERT_EQ(monitor->AddKey(KeyInfo(kSecond, nullptr)), 2u);
  {
    testing_support::Gate gate;  // holds the worker: every change below falls between the same two ticks
    ASSERT_TRUE(gate.Hold(*monitor));
    Change(kSecond);
    for (int i = 0; i < 3; ++i) Change(kFirst);
  }
  // Had its changes left the first key signalled after its callback, the tick that serves the
  // second key would have served the first one again.
  ASSERT_TRUE(testing_support::WaitFor([&] { return m_owner.Calls().size() >= 2; }, 8s));
  ASSERT_EQ(m_owner.Calls().size(), 2u);
  Change(kFirst);  // the key is armed again
  ASSERT_TRUE(testing_support::WaitFor([&] { return m_owner.Calls().size() == 3; }, 8s));
  std::vector<Owner::Call> calls = m_owner.Calls();
  EXPECT_EQ(calls[0].what, "first");
  EXPECT_EQ(calls[1].what, "default");
  EXPECT_EQ(calls[1].cookie, 2u);
  EXPECT_EQ(calls[2].what, "first");
  const platform::DWORD thread = monitor->GetActiveThreadId();
  for (const Owner::Call& call : calls) {
    EXPECT_EQ(call.thread, thread);
    EXPECT_EQ(call.threadName, "RegistryMonitor");
  }
  EXPECT_FALSE(testing_support::ThreadGone(thread));
  auto start = std::chrono::steady_clock::now();
  monitor.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);  // nothing to wait for but the thread
  // The kernel drops a joined thread's entry a moment after it ended.
  EXPECT_TRUE(testing_support::WaitFor([&] { return testing_support::ThreadGone(thread); }));
}
