// ReadTelnetConfig: missing values take their defaults and are written back, stored values are
// read (Port keeps 16 bits), values of another type count as read. TRegMonitor, which watches the
// configuration's keys: which keys can be added, callbacks on the monitor's thread (one per key
// and tick, lowest cookie first, again once the key is armed again), and destruction ending the
// thread.
#include "telnet/TTelnetServerConfig.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "foundation/TRegEditor.h"
#include "platform/Registry.h"
#include "telnet/TRegMonitor.h"
#include "tests/TestSupport.h"
#include "tests/runtime/ActiveObjectTestKit.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

constexpr DWORD kMachine = 3;
constexpr const char16_t* kBase = u"SOFTWARE\\Tolvane\\Host";
constexpr const char16_t* kKey = u"SOFTWARE\\Tolvane\\Host\\Telnet";
const std::pair<const char16_t*, DWORD> kDwordDefaults[] = {
    {u"Enabled", 1}, {u"Port", 23}, {u"RemoteConnectionEnabled", 1}, {u"InactivityTimeout", 300000},
    {u"MaxConnectionCount", 1}};

// A stored value: its type (REG_NONE when missing), its size and, when they fit, its first four bytes.
struct Stored {
  DWORD type = REG_NONE, size = sizeof(DWORD), value = 0;
};
Stored ReadStored(const char16_t* name) {
  Stored stored;
  HKEY key = nullptr;
  if (RegOpenKeyExW(RootKeyFromIndex(kMachine), kKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    RegQueryValueExW(key, name, nullptr, &stored.type, reinterpret_cast<BYTE*>(&stored.value), &stored.size);
    RegCloseKey(key);
  }
  return stored;
}

auto Fields(const TTelnetServerConfig& c) {
  return std::make_tuple(c.Enabled, c.Port, c.Password.ToNarrow(), c.RemoteConnectionEnabled, c.InactivityTimeout,
                         c.MaxConnectionCount);
}

// Every field differs from the defaults.
TTelnetServerConfig Unusual() {
  TTelnetServerConfig config;
  config.Enabled = config.RemoteConnectionEnabled = false;
  config.SetPort(4242);
  config.Password = u"secret";
  config.InactivityTimeout = 1234;
  config.MaxConnectionCount = 9;
  return config;
}

class TelnetConfigTest : public ::testing::Test {
 protected:
  testing_support::ScopedRegistry m_registry;
  TRegEditor m_editor;
};

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

TEST_F(TelnetConfigTest, AnEmptyKeyGivesTheDefaultsAndIsFilledWithThem) {
  ASSERT_TRUE(m_editor.CreateKey(kMachine, kKey));
  TTelnetServerConfig config = Unusual();
  ReadTelnetConfig(kMachine, kBase, config);
  EXPECT_EQ(Fields(config), std::make_tuple(true, 23, std::string(), true, 300000u, 1u));
  for (auto [name, value] : kDwordDefaults)
    EXPECT_EQ(std::make_pair(ReadStored(name).type, ReadStored(name).value), std::make_pair(REG_DWORD, value))
        << TStringEx(name).ToNarrow();
  Stored password = ReadStored(u"Password");
  EXPECT_EQ(password.type, REG_SZ);
  EXPECT_EQ(password.size, 2u);  // the empty string with its terminator
  EXPECT_EQ(password.value, 0u);
}

TEST_F(TelnetConfigTest, StoredValuesAreReadAndADeletedPasswordIsReset) {
  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"Enabled", 7));  // any non-zero value is true
  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"Port", 65536 + 23));
  ASSERT_TRUE(m_editor.WriteString(kMachine, kKey, u"Password", u"Open Sesame"));
  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"RemoteConnectionEnabled", 0));
  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"InactivityTimeout", 1));
  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"MaxConnectionCount", 0));
  TTelnetServerConfig config;
  config.Enabled = false;
  ReadTelnetConfig(kMachine, kBase, config);
  EXPECT_EQ(Fields(config), std::make_tuple(true, 23, std::string("Open Sesame"), false, 1u, 0u));
  EXPECT_EQ(ReadStored(u"Enabled").value, 7u);  // what was there is not rewritten
  EXPECT_EQ(ReadStored(u"Port").value, 65559u);

  ASSERT_TRUE(m_editor.DeleteValue(kMachine, kKey, u"Password"));
  ReadTelnetConfig(kMachine, kBase, config);
  EXPECT_TRUE(config.Password.IsEmpty());
  EXPECT_EQ(ReadStored(u"Password").type, REG_SZ);
  EXPECT_EQ(ReadStored(u"Password").size, 2u);
}

TEST_F(TelnetConfigTest, ValuesOfAnotherTypeCountAsReadAndAreLeftAsTheyAre) {
  for (auto [name, value] : kDwordDefaults) ASSERT_TRUE(m_editor.WriteString(kMachine, kKey, name, u"12"));
  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"Password", 5));
  TTelnetServerConfig config = Unusual();
  config.Enabled = config.RemoteConnectionEnabled = true;
  ReadTelnetConfig(kMachine, kBase, config);
  // The flags read as false, Port as 0, Password as empty; the limits keep what the record held.
  EXPECT_EQ(Fields(config), std::make_tuple(false, 0, std::string(), false, 1234u, 9u));
  for (auto [name, value] : kDwordDefaults) EXPECT_EQ(ReadStored(name).type, REG_SZ) << TStringEx(name).ToNarrow();
  EXPECT_EQ(ReadStored(u"Password").type, REG_DWORD);
}

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
