#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "apps/diagreg/DiagReg.h"
#include "platform/Registry.h"
#include "tests/TestSupport.h"

namespace {

using Args = std::vector<std::string>;
struct Result {
  int code;
  std::string out, err;
};

Result Diag(const Args& args, const std::string& input = "") {
  std::ostringstream out, err;
  std::istringstream in(input);
  int code = RunDiagReg(args, out, err, in);
  return {code, out.str(), err.str()};
}

::testing::AssertionResult Has(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << part << "\" is not in:\n" << text;
}

const std::string kKey = "HKCU\\Software\\Tolvane\\Test";

int Add(const std::string& name, const std::string& type, const std::string& data) {
  return Diag({"add", kKey, "/v", name, "/t", type, "/d", data, "/f"}).code;
}
std::string Value(const std::string& name) { return Diag({"query", kKey, "/v", name}).out; }

TEST(DiagRegTest, AddThenQueryRoundTripsStringsAndDwords) {
  testing_support::ScopedRegistry registry;
  EXPECT_TRUE(Has(Diag({"add", kKey, "/v", "Greeting", "/d", "hello world"}).out, "completed successfully"));
  EXPECT_EQ(Add("Decimal", "REG_DWORD", "42") + Add("Hex", "reg_dword", "0x2A") + Add("Max", "REG_DWORD", "4294967295"), 0);
  Result all = Diag({"query", kKey});
  EXPECT_EQ(all.code, 0) << all.err;
  for (const char* line : {"\nHKEY_CURRENT_USER\\Software\\Tolvane\\Test\n", "    Greeting    REG_SZ    hello world\n",
                           "    Decimal    REG_DWORD    0x2a\n", "    Hex    REG_DWORD    0x2a\n",
                           "    Max    REG_DWORD    0xffffffff\n"})
    EXPECT_TRUE(Has(all.out, line));
  std::string one = Value("GREETING");  // names compare without regard to case
  EXPECT_TRUE(Has(one, "REG_SZ    hello world\n"));
  EXPECT_FALSE(Has(one, "Decimal"));
}

TEST(DiagRegTest, ValueOfAnUnknownTypeShowsItsTypeInHex) {
  testing_support::ScopedRegistry registry;
  platform::HKEY key = nullptr;
  ASSERT_EQ(platform::RegCreateKeyExW(platform::HKEY_CURRENT_USER, u"Software\\Tolvane\\Test", 0, nullptr, 0,
                                      platform::KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
  const platform::BYTE data[] = {0xAB, 0x01};
  for (platform::DWORD type : {16u, 0xbeefu}) {
    ASSERT_EQ(platform::RegSetValueExW(key, u"Odd", 0, type, data, sizeof data), 0);
    EXPECT_TRUE(Has(Value("Odd"), "    Odd    " + std::string(type == 16 ? "REG_0x10" : "REG_0xbeef") + "    AB01\n"));
  }
  platform::RegCloseKey(key);
}

// A bad number exits 1 saying so, wrong arguments exit 2 with the usage; neither writes anything.
TEST(DiagRegTest, RefusedArgumentsSayWhyAndWriteNothing) {
  testing_support::ScopedRegistry registry;
  std::vector<std::pair<Args, int>> cases;
  for (const char* data : {"forty", "-1", "4294967296", "0x100000000", "", "0x", "12abc", " 7"})
    cases.push_back({{"add", kKey, "/v", "Count", "/t", "REG_DWORD", "/d", data, "/f"}, 1});
  for (const Args& args : std::vector<Args>{{}, {"frobnicate", kKey}, {"query"}, {"query", "HKXX\\Software"},
                                            {"query", ""}, {"query", kKey, "/v"}, {"add", kKey, "/v", "N", "/t"},
                                            {"add", kKey, "/v", "N", "/t", "REG_WHATEVER"}, {"query", kKey, "/bogus"},
                                            {"add", kKey, "/d", "data"}})
    cases.push_back({args, 2});
  for (const auto& [args, code] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    Result r = Diag(args);
    EXPECT_EQ(r.code, code);
    EXPECT_TRUE(Has(r.err, code == 1 ? "is not a valid REG_DWORD" : "Usage:"));
    EXPECT_EQ(Diag({"query", kKey}).code, 1) << "the key was created";
  }
  ASSERT_EQ(Add("Count", "REG_DWORD", "7"), 0);
  EXPECT_EQ(Add("Count", "REG_DWORD", "-7"), 1);
  EXPECT_TRUE(Has(Value("Count"), "REG_DWORD    0x7\n"));
}

TEST(DiagRegTest, QueryOfMissingEntriesFailsAndDeleteRemovesValuesAndTrees) {
  testing_support::ScopedRegistry registry;
  EXPECT_TRUE(Has(Diag({"query", kKey}).err, "unable to find"));
  ASSERT_EQ(Add("Keep", "REG_SZ", "k") + Add("Drop", "REG_SZ", "d"), 0);
  ASSERT_EQ(Diag({"add", kKey + "\\Child\\Grandchild", "/v", "Deep", "/d", "x", "/f"}).code, 0);
  EXPECT_EQ(Diag({"delete", kKey, "/v", "drop", "/f"}).code, 0);
  EXPECT_EQ(Diag({"query", kKey, "/v", "Drop"}).code, 1);
  EXPECT_TRUE(Has(Value("Keep"), "REG_SZ    k\n"));
  EXPECT_EQ(Diag({"delete", kKey, "/f"}).code, 0);
  EXPECT_EQ(Diag({"query", kKey + "\\Child\\Grandchild"}).code, 1);
  EXPECT_EQ(Diag({"query", "HKCU\\Software\\Tolvane"}).code, 0);  // the parent stays
  EXPECT_EQ(Diag({"delete", "HKCU", "/f"}).code, 1);
}

TEST(DiagRegTest, WithoutForceOnlyAYesOverwritesOrDeletes) {
  testing_support::ScopedRegistry registry;
  ASSERT_EQ(Add("Name", "REG_SZ", "original"), 0);
  for (const char* answer : {"", "n\n", "maybe\n"}) {
    Result overwrite = Diag({"add", kKey, "/v", "Name", "/d", "changed"}, answer);
    EXPECT_EQ(overwrite.code, 1);
    EXPECT_TRUE(Has(overwrite.out, "cancelled"));
    EXPECT_EQ(Diag({"delete", kKey, "/v", "Name"}, answer).code + Diag({"delete", kKey}, answer).code, 2);
  }
  EXPECT_TRUE(Has(Value("Name"), "REG_SZ    original\n"));
  EXPECT_EQ(Diag({"add", kKey, "/v", "Name", "/d", "changed"}, "yes\n").code, 0);
  EXPECT_TRUE(Has(Value("Name"), "REG_SZ    changed\n"));
}

TEST(DiagRegTest, StoreThatIsNotADatabaseIsNamedInTheError) {
  testing_support::ScopedRegistry registry;
  std::ofstream(registry.File(), std::ios::binary) << "not a database" + std::string(4096, 'Z');
  for (const Args& args : std::vector<Args>{{"query", kKey}, {"add", kKey, "/v", "N", "/d", "x", "/f"}}) {
    Result r = Diag(args);
    EXPECT_EQ(r.code, 1) << args[0];
    EXPECT_TRUE(Has(r.err, registry.File())) << args[0];
  }
}

}  // namespace
