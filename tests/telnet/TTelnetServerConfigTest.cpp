// ReadTelnetConfig: missing values take their defaults and are written back, stored values are
// read (Port keeps 16 bits), values of another type count as read.
#include "telnet/TTelnetServerConfig.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

#include "foundation/TRegEditor.h"
#include "platform/Registry.h"
#include "tests/TestSupport.h"

using namespace platform;

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
