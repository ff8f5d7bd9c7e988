// TRegMonitor: which keys can be added, callbacks on the monitor's thread for changes made here or
// by another process, one callback per key and tick (lowest cookie first), and destruction.
#include "telnet/TRegMonitor.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/TRegEditor.h"
#include "tests/TestSupport.h"
#include "tests/runtime/LambdaFunctor.h"

namespace {

using testing_support::WaitFor;
using namespace std::chrono_literals;

constexpr platform::DWORD kMachine = 3;
constexpr const char16_t* kFirst = u"SOFTWARE\\Monitored\\First";
constexpr const char16_t* kSecond = u"SOFTWARE\\Monitored\\Second";

std::string ThreadName() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

// Records every callback: which one, with what cookie, on which thread.
struct Owner {
  struct Call {
    std::string what;
    std::uint32_t cookie;
    platform::DWORD thread;
    std::string threadName;
  };
  void OnFirst() { Note("first", 0); }
  void OnSecond() { Note("second", 0); }
  void OnDefault(std::uint32_t cookie) { Note("default", cookie); }
  void Note(const char* what, std::uint32_t cookie) {
    std::lock_guard<std::mutex> hold(lock);
    calls.push_back({what, cookie, platform::CurrentThreadId(), ThreadName()});
  }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> hold(lock);
    return calls;
  }
  std::size_t Count(const std::string& what) {
    std::size_t n = 0;
    for (const Call& call : Calls()) n += call.what == what;
    return n;
  }
  std::mutex lock;
  std::vector<Call> calls;
};

using Monitor = TRegMonitor<Owner>;
using Info = TKeyMonitoringInfo<Owner>;

Info KeyInfo(const char16_t* path, Info::CallbackMethod callback) {
  Info info;
  info.SubKey = path;
  info.Callback = callback;
  return info;
}

// Holds the monitor's thread inside a posted functor, so that no tick passes until Open.
struct Hold {
  explicit Hold(Monitor& monitor) {
    monitor.Post(new testing_support::LambdaFunctor([entered = entered, opened = opened] {
                   *entered = true;
                   opened.wait();
                 }),
                 platform::INFINITE_TIMEOUT);
    EXPECT_TRUE(WaitFor([this] { return entered->load(); }));
  }
  ~Hold() { Open(); }
  void Open() {
    if (!std::exchange(open, true)) gate.set_value();
  }
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::shared_ptr<std::atomic<bool>> entered = std::make_shared<std::atomic<bool>>(false);
  bool open = false;
};

class RegMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_editor.CreateKey(kMachine, kFirst));
    ASSERT_TRUE(m_editor.CreateKey(kMachine, kSecond));
  }
  void Change(const char16_t* key, const char16_t* name = u"Value") {
    ASSERT_TRUE(m_editor.WriteDword(kMachine, key, name, ++m_written));
  }

  testing_support::ActiveObjectEnvironment m_environment;
  TRegEditor m_editor;
  Owner m_owner;
  platform::DWORD m_written = 0;
};

}  // namespace

TEST_F(RegMonitorTest, OnlyExistingKeysWithACallbackAreAddedAndCookiesCountFromOne) {
  Monitor monitor(&m_owner, &Owner::OnDefault);
  EXPECT_EQ(monitor.AddKey(KeyInfo(u"SOFTWARE\\Monitored\\Missing", &Owner::OnFirst)), 0u);
  EXPECT_FALSE(m_editor.KeyExists(kMachine, u"SOFTWARE\\Monitored\\Missing"));  // not created
  Info bad = KeyInfo(kFirst, nullptr);
  bad.NotifyFilter = 0x100;  // no change kind the registry knows
  EXPECT_EQ(monitor.AddKey(bad), 0u);
  EXPECT_EQ(monitor.AddKey(KeyInfo(kFirst, nullptr)), 1u);
  Info other = KeyInfo(kSecond, &Owner::OnSecond);
  other.Root = platform::HKEY_CURRENT_USER;
  EXPECT_EQ(monitor.AddKey(other), 0u);  // that key exists only under HKEY_LOCAL_MACHINE
  EXPECT_EQ(monitor.AddKey(KeyInfo(kSecond, &Owner::OnSecond)), 2u);

  Monitor noDefault(&m_owner, nullptr);
  EXPECT_EQ(noDefault.AddKey(KeyInfo(kFirst, nullptr)), 0u);  // nobody to call
  EXPECT_EQ(noDefault.AddKey(KeyInfo(kFirst, &Owner::OnFirst)), 1u);
}

TEST_F(RegMonitorTest, AChangeCallsTheKeysCallbackOrTheDefaultWithTheCookieOnTheMonitorThread) {
  Monitor monitor(&m_owner, &Owner::OnDefault);
  EXPECT_EQ(monitor.GetName(), u"RegistryMonitor");
  ASSERT_EQ(monitor.AddKey(KeyInfo(kFirst, &Owner::OnFirst)), 1u);
  ASSERT_EQ(monitor.AddKey(KeyInfo(kSecond, nullptr)), 2u);
  Change(kFirst);
  Change(kSecond);
  ASSERT_TRUE(WaitFor([&] { return m_owner.Calls().size() == 2; }, 8s));
  std::vector<Owner::Call> calls = m_owner.Calls();
  EXPECT_EQ(calls[0].what, "first");
  EXPECT_EQ(calls[1].what, "default");
  EXPECT_EQ(calls[1].cookie, 2u);
  for (const Owner::Call& call : calls) {
    EXPECT_EQ(call.thread, monitor.GetActiveThreadId());
    EXPECT_EQ(call.threadName, "RegistryMonitor");
  }
}

TEST_F(RegMonitorTest, SubKeyChangesCountOnlyWhenTheSubtreeIsWatched) {
  ASSERT_TRUE(m_editor.CreateKey(kMachine, u"SOFTWARE\\Monitored\\First\\Deep"));
  ASSERT_TRUE(m_editor.CreateKey(kMachine, u"SOFTWARE\\Monitored\\Second\\Deep"));
  Monitor monitor(&m_owner, &Owner::OnDefault);
  Info flat = KeyInfo(kFirst, &Owner::OnFirst);
  flat.WatchSubtree = false;
  ASSERT_EQ(monitor.AddKey(flat), 1u);
  ASSERT_EQ(monitor.AddKey(KeyInfo(kSecond, &Owner::OnSecond)), 2u);
  Change(u"SOFTWARE\\Monitored\\First\\Deep");
  Change(u"SOFTWARE\\Monitored\\Second\\Deep");
  // Had the flat key been signalled, its lower cookie would have been served first.
  ASSERT_TRUE(WaitFor([&] { return m_owner.Count("second") == 1; }, 5s));
  EXPECT_EQ(m_owner.Count("first"), 0u);
  Change(kFirst);  // its own values do count
  ASSERT_TRUE(WaitFor([&] { return m_owner.Count("first") == 1; }, 5s));
}

TEST_F(RegMonitorTest, OneKeyPerTickLowestCookieFirstAndOneCallbackForManyChanges) {
  Monitor monitor(&m_owner, &Owner::OnDefault);
  ASSERT_EQ(monitor.AddKey(KeyInfo(kFirst, &Owner::OnFirst)), 1u);
  ASSERT_EQ(monitor.AddKey(KeyInfo(kSecond, &Owner::OnSecond)), 2u);
  {
    Hold hold(monitor);  // every change below falls between the same two ticks
    Change(kSecond);
    for (int i = 0; i < 5; ++i) Change(kFirst);
  }
  // The tick that serves the second key would have served the first one again instead, had its
  // five changes left it signalled after its callback.
  ASSERT_TRUE(WaitFor([&] { return m_owner.Count("second") == 1; }, 8s));
  std::vector<Owner::Call> calls = m_owner.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].what, "first");
  EXPECT_EQ(calls[1].what, "second");
}

TEST_F(RegMonitorTest, TheKeyIsArmedAgainAndChangesByAnotherProcessAreSeen) {
  Monitor monitor(&m_owner, &Owner::OnDefault);
  ASSERT_EQ(monitor.AddKey(KeyInfo(kFirst, nullptr)), 1u);
  Change(kFirst);
  ASSERT_TRUE(WaitFor([&] { return m_owner.Count("default") == 1; }, 5s));
  ASSERT_EQ(testing_support::RunChild({DIAGREG_EXE, "add", "HKLM\\SOFTWARE\\Monitored\\First", "/v", "Port", "/t",
                                       "REG_DWORD", "/d", "7", "/f"}),
            0);
  ASSERT_TRUE(WaitFor([&] { return m_owner.Count("default") == 2; }, 8s));
  EXPECT_EQ(m_owner.Calls()[1].cookie, 1u);
}

// Embeds its monitor as a member, declared while the class is still incomplete.
struct Embedding {
  void OnChanged(std::uint32_t) {}
  TRegMonitor<Embedding> monitor{this, &Embedding::OnChanged};
};

TEST_F(RegMonitorTest, DestructionEndsTheThreadPromptly) {
  auto owner = std::make_unique<Embedding>();
  TKeyMonitoringInfo<Embedding> info;
  info.SubKey = kFirst;
  ASSERT_EQ(owner->monitor.AddKey(info), 1u);
  platform::DWORD thread = 0;
  ASSERT_TRUE(WaitFor([&] { return (thread = owner->monitor.GetActiveThreadId()) != 0xFFFFFFFF; }));
  const std::string task = "/proc/self/task/" + std::to_string(thread);
  EXPECT_TRUE(std::filesystem::exists(task));
  auto start = std::chrono::steady_clock::now();
  owner.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);  // nothing to wait for but the thread
  EXPECT_FALSE(std::filesystem::exists(task));
}

TEST_F(RegMonitorTest, DestructionWaitsForACallbackInProgress) {
  std::atomic<bool> destroying{false}, finished{false};
  struct Slow {
    void OnChanged() {
      *entered = true;
      WaitFor([this] { return destroying->load(); });
      std::this_thread::sleep_for(300ms);  // the destructor is meanwhile waiting
      *finished = true;
    }
    std::atomic<bool>* destroying;
    std::atomic<bool>* finished;
    std::atomic<bool>* entered;
  };
  std::atomic<bool> entered{false};
  Slow slow{&destroying, &finished, &entered};
  auto monitor = std::make_unique<TRegMonitor<Slow>>(&slow, nullptr);
  TKeyMonitoringInfo<Slow> info;
  info.SubKey = kFirst;
  info.Callback = &Slow::OnChanged;
  ASSERT_EQ(monitor->AddKey(info), 1u);
  Change(kFirst);
  ASSERT_TRUE(WaitFor([&] { return entered.load(); }, 5s));
  destroying = true;
  monitor.reset();
  EXPECT_TRUE(finished);
}
