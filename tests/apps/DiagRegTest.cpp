#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "apps/diagreg/DiagReg.h"
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

// Runs the diagreg program through the shell with an empty stdin and a deadline: its exit code
// and everything it printed.
Result Program(const Args& args) {
  std::string command = "timeout 30 '" DIAGREG_EXE "'";
  for (const std::string& a : args) command += " '" + a + "'";
  FILE* pipe = popen((command + " </dev/null 2>&1").c_str(), "r");
  Result result{-1, "", ""};
  char buffer[256];
  while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) result.out += buffer;
  int status = pipe != nullptr ? pclose(pipe) : -1;
  if (status != -1 && WIFEXITED(status)) result.code = WEXITSTATUS(status);
  return result;
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

TEST(DiagRegTest, BadDwordIsRefusedAndNothingIsWritten) {
  testing_support::ScopedRegistry registry;
  for (const char* data : {"forty", "-1", "4294967296", "0x100000000", "", "0x", "12abc", " 7"}) {
    Result r = Diag({"add", kKey, "/v", "Count", "/t", "REG_DWORD", "/d", data, "/f"});
    EXPECT_EQ(r.code, 1) << data;
    EXPECT_TRUE(Has(r.err, "is not a valid REG_DWORD")) << data;
    EXPECT_EQ(Diag({"query", kKey}).code, 1) << "the key was created for " << data;
  }
  ASSERT_EQ(Add("Count", "REG_DWORD", "7"), 0);
  EXPECT_EQ(Add("Count", "REG_DWORD", "-7"), 1);
  EXPECT_TRUE(Has(Value("Count"), "REG_DWORD    0x7\n"));
}

TEST(DiagRegTest, WrongArgumentsPrintUsageAndExitTwo) {
  testing_support::ScopedRegistry registry;
  for (const Args& args : std::vector<Args>{{}, {"frobnicate", kKey}, {"query"}, {"query", "HKXX\\Software"},
                                            {"query", ""}, {"query", kKey, "/v"}, {"add", kKey, "/v", "N", "/t"},
                                            {"add", kKey, "/v", "N", "/t", "REG_WHATEVER"}, {"query", kKey, "/bogus"},
                                            {"add", kKey, "/d", "data"}}) {
    Result r = Diag(args);
    EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args);
    EXPECT_TRUE(Has(r.err, "Usage:")) << ::testing::PrintToString(args);
  }
  EXPECT_EQ(Diag({"query", kKey}).code, 1);  // none of them created anything
}

TEST(DiagRegTest, QueryOfMissingEntriesFailsAndDeleteRemovesValuesAndTrees) {
  testing_support::ScopedRegistry registry;
  Result missing = Diag({"query", kKey});
  EXPECT_EQ(missing.code, 1);
  EXPECT_TRUE(Has(missing.err, "unable to find"));
  ASSERT_EQ(Add("Keep", "REG_SZ", "k") + Add("Drop", "REG_SZ", "d"), 0);
  ASSERT_EQ(Diag({"add", kKey + "\\Child\\Grandchild", "/v", "Deep", "/d", "x", "/f"}).code, 0);
  EXPECT_EQ(Diag({"query", kKey, "/v", "Absent"}).code, 1);

  EXPECT_EQ(Diag({"delete", kKey, "/v", "drop", "/f"}).code, 0);
  EXPECT_EQ(Diag({"query", kKey, "/v", "Drop"}).code, 1);
  EXPECT_EQ(Diag({"delete", kKey, "/v", "Drop", "/f"}).code, 1);
  EXPECT_TRUE(Has(Value("Keep"), "REG_SZ    k\n"));

  EXPECT_EQ(Diag({"delete", kKey, "/f"}).code, 0);
  EXPECT_EQ(Diag({"query", kKey + "\\Child\\Grandchild"}).code + Diag({"query", kKey}).code, 2);
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
  EXPECT_EQ(Diag({"delete", kKey}, "Y\n").code, 0);
  EXPECT_EQ(Diag({"query", kKey}).code, 1);
}

TEST(DiagRegTest, StoreThatIsNotADatabaseIsNamedAndLeftAlone) {
  testing_support::ScopedRegistry registry;
  const std::string garbage = "not a database" + std::string(4096, 'Z');
  std::ofstream(registry.File(), std::ios::binary) << garbage;
  for (const Args& args : std::vector<Args>{{"query", kKey}, {"add", kKey, "/v", "N", "/d", "x", "/f"}}) {
    Result r = Diag(args);
    EXPECT_EQ(r.code, 1) << args[0];
    EXPECT_TRUE(Has(r.err, registry.File())) << args[0];
  }
  std::ifstream in(registry.File(), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage);
}

TEST(DiagRegTest, ProgramSharesTheStoreBetweenProcesses) {
  testing_support::ScopedRegistry registry;  // the children inherit TOLVANE_REGISTRY
  Result add = Program({"add", kKey, "/v", "Port", "/t", "REG_DWORD", "/d", "2323", "/f"});
  EXPECT_EQ(add.code, 0) << add.out;
  Result query = Program({"query", kKey, "/v", "Port"});
  EXPECT_EQ(query.code, 0) << query.out;
  EXPECT_TRUE(Has(query.out, "    Port    REG_DWORD    0x913\n"));
  EXPECT_EQ(Program({"delete", kKey}).code, 1);  // no answer on the empty stdin
  EXPECT_EQ(Program({"query", kKey}).code, 0);
  Result usage = Program({"add", kKey, "/v"});
  EXPECT_EQ(usage.code, 2);
  EXPECT_TRUE(Has(usage.out, "Usage:"));
}

}  // namespace
