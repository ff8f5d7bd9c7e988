// TTelnetServerConfig: defaults, copies, and reading the record from the registry (missing values
// take their defaults and are written back, wrong types count as read, Port keeps 16 bits).
#include "telnet/TTelnetServerConfig.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "foundation/TRegEditor.h"
#include "platform/Registry.h"
#include "tests/TestSupport.h"

using namespace platform;

namespace {

constexpr DWORD kMachine = 3;
constexpr const char16_t* kBase = u"SOFTWARE\\Tolvane\\Host";
constexpr const char16_t* kKey = u"SOFTWARE\\Tolvane\\Host\\Telnet";

// A value as stored: its type and bytes, or type REG_NONE with no bytes when it is missing.
struct Stored {
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
  DWORD Dword() const {
    DWORD value = 0;
    if (bytes.size() == sizeof value) std::memcpy(&value, bytes.data(), sizeof value);
    return value;
  }
};

Stored ReadStored(DWORD rootIndex, const char16_t* name) {
  Stored stored;
  HKEY key = nullptr;
  if (RegOpenKeyExW(RootKeyFromIndex(rootIndex), kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return stored;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &stored.type, nullptr, &size) == ERROR_SUCCESS) {
    stored.bytes.resize(size);
    RegQueryValueExW(key, name, nullptr, &stored.type, stored.bytes.data(), &size);
  }
  RegCloseKey(key);
  return stored;
}

void ExpectDefaults(const TTelnetServerConfig& config) {
  EXPECT_TRUE(config.Enabled);
  EXPECT_EQ(config.Port, 23);
  EXPECT_TRUE(config.Password.IsEmpty());
  EXPECT_TRUE(config.RemoteConnectionEnabled);
  EXPECT_EQ(config.InactivityTimeout, 300000u);
  EXPECT_EQ(config.MaxConnectionCount, 1u);
}

void ExpectDefaultsStored(DWORD rootIndex) {
  for (const char16_t* name : {u"Enabled", u"Port", u"RemoteConnectionEnabled", u"InactivityTimeout",
                               u"MaxConnectionCount"})
    EXPECT_EQ(ReadStored(rootIndex, name).type, REG_DWORD) << TStringEx(name).ToNarrow();
  EXPECT_EQ(ReadStored(rootIndex, u"Enabled").Dword(), 1u);
  EXPECT_EQ(ReadStored(rootIndex, u"Port").Dword(), 23u);
  EXPECT_EQ(ReadStored(rootIndex, u"RemoteConnectionEnabled").Dword(), 1u);
  EXPECT_EQ(ReadStored(rootIndex, u"InactivityTimeout").Dword(), 300000u);
  EXPECT_EQ(ReadStored(rootIndex, u"MaxConnectionCount").Dword(), 1u);
  Stored password = ReadStored(rootIndex, u"Password");
  EXPECT_EQ(password.type, REG_SZ);
  EXPECT_EQ(password.bytes, (std::vector<BYTE>{0, 0}));  // the empty string with its terminator
}

// A record whose every field differs from the defaults.
TTelnetServerConfig Unusual() {
  TTelnetServerConfig config;
  config.Enabled = false;
  config.SetPort(4242);
  config.Password = u"secret";
  config.RemoteConnectionEnabled = false;
  config.InactivityTimeout = 1234;
  config.MaxConnectionCount = 9;
  return config;
}

class TelnetConfigRegistryTest : public ::testing::Test {
 protected:
  testing_support::ScopedRegistry m_registry;
  TRegEditor m_editor;
};

}  // namespace

TEST(TelnetConfigTest, DefaultsSetPortAndDeepCopies) {
  TTelnetServerConfig config;
  ExpectDefaults(config);
  const std::uint16_t port = 2323;
  config.SetPort(port);
  EXPECT_EQ(config.Port, 2323);
  EXPECT_TRUE(config.Enabled);  // nothing else moves
  EXPECT_TRUE(config.Password.IsEmpty());

  TTelnetServerConfig original = Unusual();
  TTelnetServerConfig copy(original);
  TTelnetServerConfig assigned;
  assigned = original;
  original.Password.Buffer()[0] = u'X';  // the copies own their text
  original.Password = u"changed";
  for (const TTelnetServerConfig* c : {&copy, &assigned}) {
    EXPECT_FALSE(c->Enabled);
    EXPECT_EQ(c->Port, 4242);
    EXPECT_EQ(c->Password, u"secret");
    EXPECT_FALSE(c->RemoteConnectionEnabled);
    EXPECT_EQ(c->InactivityTimeout, 1234u);
    EXPECT_EQ(c->MaxConnectionCount, 9u);
  }
  assigned = TTelnetServerConfig();
  ExpectDefaults(assigned);
}

TEST_F(TelnetConfigRegistryTest, AnEmptyOrMissingKeyGivesTheDefaultsAndIsFilledWithThem) {
  ASSERT_TRUE(m_editor.CreateKey(kMachine, kKey));
  TTelnetServerConfig config = Unusual();
  ReadTelnetConfig(kMachine, kBase, config);
  ExpectDefaults(config);
  ExpectDefaultsStored(kMachine);

  // No key at all under another root: it is created there, and the first root is left alone.
  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"Port", 77));
  config = Unusual();
  ReadTelnetConfig(2, kBase, config);
  ExpectDefaults(config);
  ExpectDefaultsStored(2);
  EXPECT_EQ(ReadStored(kMachine, u"Port").Dword(), 77u);
}

TEST_F(TelnetConfigRegistryTest, StoredValuesAreReadAndOnlyTheLow16BitsOfThePortCount) {
  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"Enabled", 7));  // any non-zero value is true
  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"Port", 65536 + 23));
  ASSERT_TRUE(m_editor.WriteString(kMachine, kKey, u"Password", u"Open Sesame"));
  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"RemoteConnectionEnabled", 0));
  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"InactivityTimeout", 1));
  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"MaxConnectionCount", 0));
  TTelnetServerConfig config;
  config.Enabled = false;
  ReadTelnetConfig(kMachine, kBase, config);
  EXPECT_TRUE(config.Enabled);
  EXPECT_EQ(config.Port, 23);
  EXPECT_EQ(config.Password, u"Open Sesame");
  EXPECT_FALSE(config.RemoteConnectionEnabled);
  EXPECT_EQ(config.InactivityTimeout, 1u);
  EXPECT_EQ(config.MaxConnectionCount, 0u);
  // What was there is not rewritten.
  EXPECT_EQ(ReadStored(kMachine, u"Enabled").Dword(), 7u);
  EXPECT_EQ(ReadStored(kMachine, u"Port").Dword(), 65559u);

  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"Port", 0x12345678));
  ReadTelnetConfig(kMachine, kBase, config);
  EXPECT_EQ(config.Port, 0x5678);
}

TEST_F(TelnetConfigRegistryTest, EachMissingValueAloneTakesItsDefaultAndIsWrittenBack) {
  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"Port", 2000));
  ASSERT_TRUE(m_editor.WriteString(kMachine, kKey, u"Password", u"pw"));
  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"MaxConnectionCount", 5));
  TTelnetServerConfig config;
  ReadTelnetConfig(kMachine, kBase, config);
  EXPECT_EQ(config.Port, 2000);
  EXPECT_EQ(config.Password, u"pw");
  EXPECT_EQ(config.MaxConnectionCount, 5u);

  // Deleting the password resets it at the next read, and the empty value is written back.
  ASSERT_TRUE(m_editor.DeleteValue(kMachine, kKey, u"Password"));
  ASSERT_TRUE(m_editor.DeleteValue(kMachine, kKey, u"Port"));
  config = Unusual();
  ReadTelnetConfig(kMachine, kBase, config);
  EXPECT_TRUE(config.Password.IsEmpty());
  EXPECT_EQ(config.Port, 23);
  EXPECT_TRUE(config.Enabled);
  EXPECT_EQ(config.MaxConnectionCount, 5u);
  EXPECT_EQ(ReadStored(kMachine, u"Password").type, REG_SZ);
  EXPECT_EQ(ReadStored(kMachine, u"Port").Dword(), 23u);
}

TEST_F(TelnetConfigRegistryTest, ValuesOfAnotherTypeCountAsReadAndAreLeftAsTheyAre) {
  for (const char16_t* name : {u"Enabled", u"Port", u"RemoteConnectionEnabled", u"InactivityTimeout",
                               u"MaxConnectionCount"})
    ASSERT_TRUE(m_editor.WriteString(kMachine, kKey, name, u"12"));
  ASSERT_TRUE(m_editor.WriteDword(kMachine, kKey, u"Password", 5));
  TTelnetServerConfig config = Unusual();
  config.Enabled = true;
  config.RemoteConnectionEnabled = true;
  ReadTelnetConfig(kMachine, kBase, config);
  EXPECT_FALSE(config.Enabled);
  EXPECT_EQ(config.Port, 0);
  EXPECT_TRUE(config.Password.IsEmpty());
  EXPECT_FALSE(config.RemoteConnectionEnabled);
  EXPECT_EQ(config.InactivityTimeout, 1234u);  // the values the record held
  EXPECT_EQ(config.MaxConnectionCount, 9u);
  EXPECT_EQ(ReadStored(kMachine, u"Port").type, REG_SZ);
  EXPECT_EQ(ReadStored(kMachine, u"Password").type, REG_DWORD);
}
