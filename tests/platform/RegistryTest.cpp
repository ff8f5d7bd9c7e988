// The registry store (names, paths, handles, damaged files, change notification, two processes,
// a writer killed), and TRegEditor over it.
#include "platform/Registry.h"

#include <signal.h>
#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "foundation/TRegEditor.h"
#include "tests/TestSupport.h"

using namespace platform;
using testing_support::RunChild;
using testing_support::ScopedRegistry;
using Names = std::vector<std::u16string>;

namespace {

constexpr DWORD kMissing = 0xDEADBEEF;
const HKEY HKLM = HKEY_LOCAL_MACHINE;

HKEY Create(HKEY parent, const char16_t* path) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
  return key;
}
LONG SetDword(HKEY key, const char16_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}
DWORD GetDword(HKEY key, const char16_t* name) {
  DWORD value = 0, size = sizeof value, type = 0;
  LONG err = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  return err == ERROR_SUCCESS && type == REG_DWORD ? value : kMissing;
}
// Subkey (or value) names in enumeration order, up to the first failure.
Names Enumerate(HKEY key, bool values) {
  Names names;
  char16_t name[300];
  for (DWORD i = 0, length = 300;
       (values ? RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr)
               : RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr)) == ERROR_SUCCESS;
       ++i, length = 300)
    names.emplace_back(name, length);
  return names;
}
void WriteBytes(const std::string& file, const std::string& bytes, long offset = 0) {
  std::fstream(file, std::ios::in | std::ios::out | std::ios::binary | (offset ? std::ios::openmode() : std::ios::trunc))
          .seekp(offset)
      << bytes;
}
// The first column of the first row of one SQL statement run directly on a database file.
std::string Sql(const std::string& file, const char* sql) {
  sqlite3* db = nullptr;
  std::string result;
  auto keepFirst = [](void* out, int, char** row, char**) {
    if (static_cast<std::string*>(out)->empty() && row[0] != nullptr) *static_cast<std::string*>(out) = row[0];
    return 0;
  };
  int rc = sqlite3_open(file.c_str(), &db) == SQLITE_OK ? sqlite3_exec(db, sql, keepFirst, &result, nullptr) : -1;
  sqlite3_close(db);
  return rc == SQLITE_OK ? result : "(error)";
}

constexpr const char16_t* kKey = u"SOFTWARE\\Editor";

// Forwards every call, counting the handles still open: zero when every handle opened was closed once.
class CountingImp : public TRegEditorImp {
 public:
  explicit CountingImp(int* open) : m_open(open) {}

  LONG RegCreateKeyExW(HKEY key, const char16_t* subKey, DWORD reserved, char16_t* className, DWORD options,
                       REGSAM access, const void* security, HKEY* result, DWORD* disposition) override {
    LONG err = TRegEditorImp::RegCreateKeyExW(key, subKey, reserved, className, options, access, security, result,
                                              disposition);
    return *m_open += err == ERROR_SUCCESS, err;
  }
  LONG RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD options, REGSAM access, HKEY* result) override {
    LONG err = TRegEditorImp::RegOpenKeyExW(key, subKey, options, access, result);
    return *m_open += err == ERROR_SUCCESS, err;
  }
  LONG RegCloseKey(HKEY key) override { return --*m_open, TRegEditorImp::RegCloseKey(key); }

 private:
  int* m_open;
};

class TRegEditorTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(open, 0); }

  testing_support::ScopedRegistry reg;
  int open = 0;
  TRegEditor editor{3, TStringEx(), std::make_unique<CountingImp>(&open)};
};

}  // namespace

TEST(RegistryStore, NamesIgnoreCaseKeepFirstCaseAndEnumerateInOrder) {
  ScopedRegistry reg;
  HKEY key = Create(HKLM, u"SOFTWARE\\Tolvane\\Deep"), again = Create(HKLM, u"software\\TOLVANE\\deep\\");
  // Each value holds the second letter of the name it was set with.
  for (const char16_t* name : {u"Mixed", u"MIXED", u"zeta", u"Alpha"}) ASSERT_EQ(SetDword(again, name, name[1]), 0);
  EXPECT_EQ(GetDword(key, u"mixed"), u'I');
  EXPECT_EQ(Enumerate(key, true), (Names{u"Mixed", u"zeta", u"Alpha"}));  // in the order first set
  for (const char16_t* name : {u"b", u"A", u"c", u"B"}) RegCloseKey(Create(key, name));
  EXPECT_EQ(Enumerate(key, false), (Names{u"A", u"b", u"c"}));
  for (HKEY h : {key, again}) EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
}

TEST(RegistryStore, RejectsBadPathsWrongAccessAndShortBuffers) {
  ScopedRegistry reg;
  HKEY key = nullptr;
  for (const char16_t* bad : {u"\\A", u"A\\\\B"}) {
    EXPECT_EQ(RegCreateKeyExW(HKLM, bad, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExW(HKLM, bad, 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
  }
  EXPECT_EQ(RegOpenKeyExW(HKLM, u"A", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);  // nothing was made
  RegCloseKey(Create(HKLM, u"A"));
  ASSERT_EQ(RegOpenKeyExW(HKLM, u"A", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(key, u"x", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(HKLM, u"S", 7), ERROR_SUCCESS);
  DWORD value = 0, size = 2;
  EXPECT_EQ(RegQueryValueExW(HKLM, u"s", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof value);
}

TEST(RegistryStore, DeletedAndClosedHandlesFail) {
  ScopedRegistry reg;
  HKEY parent = Create(HKLM, u"SOFTWARE\\Del");
  HKEY child = Create(parent, u"Child");
  EXPECT_EQ(RegDeleteKeyW(HKLM, u"SOFTWARE\\Del"), ERROR_ACCESS_DENIED);  // it has a subkey
  EXPECT_EQ(RegDeleteKeyW(HKLM, u""), ERROR_ACCESS_DENIED);               // a root
  ASSERT_EQ(RegDeleteKeyW(parent, u"CHILD"), ERROR_SUCCESS);
  HKEY fresh = Create(parent, u"Child");  // must not be reached through the deleted key's handle
  EXPECT_EQ(SetDword(child, u"x", 1), ERROR_KEY_DELETED);
  EXPECT_EQ(GetDword(fresh, u"x"), kMissing);
  for (HKEY h : {child, fresh, parent}) EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(fresh), ERROR_INVALID_HANDLE);
  EXPECT_EQ(SetDword(fresh, u"x", 1), ERROR_INVALID_HANDLE);
}

TEST(RegistryStore, FilesThatAreNotStoresFailEveryCallAndStayUntouched) {
  ScopedRegistry reg;
  auto use = [&](const std::string& name) {  // makes a file of the test's folder the store
    setenv("TOLVANE_REGISTRY", reg.Dir().File(name).c_str(), 1);
    return reg.Dir().File(name);
  };
  auto expectEveryCall = [](LONG expected) {
    HKEY key = nullptr;
    DWORD value = 1, size = 4;
    EXPECT_EQ(RegCreateKeyExW(HKEY_USERS, u"X", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), expected);
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u"X", 0, KEY_READ, &key), expected);
    EXPECT_EQ(SetDword(HKEY_USERS, u"v", 1), expected);
    EXPECT_EQ(RegQueryValueExW(HKEY_USERS, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), expected);
  };
  const std::string garbage(10000, 'Z'), garbageFile = use("garbage");
  WriteBytes(garbageFile, garbage);
  expectEveryCall(ERROR_BADDB);
  std::ifstream in(garbageFile, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage);
  const std::string notes = use("notes");  // another program's database
  ASSERT_EQ(Sql(notes, "CREATE TABLE notes(x)"), "");
  expectEveryCall(ERROR_BADDB);
  EXPECT_EQ(Sql(notes, "SELECT group_concat(name) FROM sqlite_schema"), "notes");
  EXPECT_EQ(Sql(notes, "PRAGMA journal_mode"), "delete");
  WriteBytes(use("plain"), "plain file");
  use("plain/sub/registry.db");
  expectEveryCall(ERROR_REGISTRY_IO_FAILED);
  // A store whose first page (4096 bytes) is sound but whose tables are damaged.
  const std::string damaged = use("damaged");
  RegCloseKey(Create(HKEY_USERS, u"X"));
  use("spare");
  RegCloseKey(Create(HKEY_USERS, u"Y"));  // closes the first store, which folds its log into the file
  auto size = static_cast<std::size_t>(std::filesystem::file_size(damaged));
  ASSERT_GT(size, 4096u);
  WriteBytes(damaged, std::string(size - 4096, 'Z'), 4096);
  use("damaged");
  for (int i = 0; i < 2; ++i) expectEveryCall(ERROR_BADDB);
}

TEST(RegistryNotify, ChangesInThisProcessSetArmedEventsOnce) {
  ScopedRegistry reg;
  HKEY key = Create(HKLM, u"SOFTWARE\\Watched"), sub = Create(key, u"Sub");
  HKEY sibling = Create(HKLM, u"SOFTWARE\\WatchedToo");
  Event flat(true, false), tree(true, false);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_LAST_SET, &flat, true), ERROR_SUCCESS);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, true, REG_NOTIFY_CHANGE_LAST_SET, &tree, true), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(sibling, u"x", 1), ERROR_SUCCESS);
  EXPECT_FALSE(flat.IsSet() || tree.IsSet());
  ASSERT_EQ(SetDword(sub, u"x", 1), ERROR_SUCCESS);
  EXPECT_FALSE(flat.IsSet());
  EXPECT_TRUE(tree.IsSet());
  tree.Reset();
  ASSERT_EQ(SetDword(key, u"x", 1), ERROR_SUCCESS);
  EXPECT_TRUE(flat.IsSet());
  EXPECT_FALSE(tree.IsSet());  // it fired already and was not armed again
  ASSERT_EQ(RegNotifyChangeKeyValue(key, true, REG_NOTIFY_CHANGE_LAST_SET, &tree, true), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(tree.IsSet());
  RegCloseKey(sub);
  RegCloseKey(sibling);
}

// Diagreg in child processes (they inherit TOLVANE_REGISTRY) and this process share the store.
TEST(RegistryTwoProcesses, DiagregChangesSetArmedEventsAndEachSeesTheOthersValues) {
  ScopedRegistry reg;
  HKEY key = Create(HKLM, u"SOFTWARE\\Shared");
  Event flat(true, false), tree(true, false);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_LAST_SET, &flat, true), ERROR_SUCCESS);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, true, REG_NOTIFY_CHANGE_LAST_SET, &tree, true), ERROR_SUCCESS);
  EXPECT_EQ(RunChild({DIAGREG_EXE, "add", "HKLM\\SOFTWARE\\Shared\\Sub", "/v", "x", "/d", "1", "/f"}), 0);
  EXPECT_TRUE(tree.Wait(20000));
  EXPECT_FALSE(flat.IsSet());  // the poll that set the subtree watch has seen the change
  EXPECT_EQ(RunChild({DIAGREG_EXE, "add", "HKLM\\SOFTWARE\\Shared", "/v", "Port", "/t", "REG_DWORD", "/d", "7", "/f"}),
            0);
  EXPECT_TRUE(flat.Wait(20000));
  EXPECT_EQ(GetDword(key, u"PORT"), 7u);
  ASSERT_EQ(SetDword(key, u"Count", 42), ERROR_SUCCESS);
  RegCloseKey(key);  // sets whatever is still armed before the events go
  std::string out;
  EXPECT_EQ(RunChild({DIAGREG_EXE, "query", "HKLM\\SOFTWARE\\Shared", "/v", "Count"}, &out), 0);
  EXPECT_NE(out.find("Count    REG_DWORD    0x2a"), std::string::npos) << out;
}

TEST(RegistryKill, CommittedWritesSurviveSigkill) {
  ScopedRegistry reg;
  // The shell prints its process id and becomes the writer; the deadline bounds a writer that hangs.
  FILE* child = popen("timeout -s KILL 60 sh -c 'echo $$; exec \"" REG_WRITER_CHILD "\"'", "r");
  ASSERT_NE(child, nullptr);
  char line[64];
  pid_t pid = std::fgets(line, sizeof line, child) != nullptr ? std::atoi(line) : 0;
  DWORD reported = 0;  // each line reports one committed write
  while (reported < 200 && std::fgets(line, sizeof line, child) != nullptr) ++reported;
  if (reported == 200 && pid > 0) kill(pid, SIGKILL);  // still writing: it stops only when its reader goes
  pclose(child);
  ASSERT_EQ(reported, 200u);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKLM, u"SOFTWARE\\Kill", 0, KEY_READ, &key), ERROR_SUCCESS);
  for (DWORD i = 0; i < reported; ++i)
    ASSERT_EQ(GetDword(key, testing_support::U16("v" + std::to_string(i)).c_str()), i);
  RegCloseKey(key);
  EXPECT_EQ(Sql(reg.File(), "PRAGMA integrity_check"), "ok");
}

TEST_F(TRegEditorTest, StringsReadBackWholeAndMissingOnesReadAsFalse) {
  TStringEx text;
  auto read = [&](const char16_t* key, const char16_t* name) {
    text = u"stale";
    return editor.ReadString(3, key, name, text);
  };
  EXPECT_FALSE(read(kKey, u"Name"));  // no key yet
  EXPECT_TRUE(text.IsEmpty());
  std::u16string longText(300, u'w');
  ASSERT_TRUE(editor.WriteString(3, u"SOFTWARE\\Editor\\Deep", u"Long", longText.c_str()));
  EXPECT_TRUE(read(u"software\\editor\\DEEP", u"LONG"));
  EXPECT_EQ(text, longText.c_str());
  EXPECT_TRUE(editor.ReadMUIString(3, u"SOFTWARE\\Editor\\Deep", u"Long", text));
  EXPECT_EQ(text, longText.c_str());
  ASSERT_TRUE(editor.WriteString(3, kKey, u"Empty", nullptr));
  EXPECT_TRUE(read(kKey, u"Empty") && text.IsEmpty());
  EXPECT_FALSE(read(kKey, u"Missing"));
  EXPECT_TRUE(text.IsEmpty());
  // Text stored without a terminator and ending in half a unit: no read runs past it.
  const char odd[] = {'a', 0, 'b', 0, 'c'};
  ASSERT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"Odd", 0, REG_SZ, reinterpret_cast<const BYTE*>(odd), 5), 0);
  EXPECT_TRUE(read(u"", u"Odd"));
  EXPECT_EQ(text, u"ab");
}

TEST_F(TRegEditorTest, WriteDwordRewritesOnlyAChangedDword) {
  ASSERT_TRUE(editor.WriteDword(3, kKey, u"N", 5));
  Event changed(true, false);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_NOTIFY, &key), ERROR_SUCCESS);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_LAST_SET, &changed, true), ERROR_SUCCESS);
  EXPECT_TRUE(editor.WriteDword(3, kKey, u"n", 5));
  EXPECT_FALSE(changed.IsSet());
  EXPECT_TRUE(editor.WriteDword(3, kKey, u"N", 6));
  EXPECT_TRUE(changed.IsSet());
  RegCloseKey(key);
  // A REG_SZ holding the same number is another value: the REG_DWORD replaces it. ReadDword of a
  // REG_SZ succeeds but leaves the result alone, so reading 6 shows the replacement.
  ASSERT_TRUE(editor.WriteString(3, kKey, u"N", u"6"));
  EXPECT_TRUE(editor.WriteDword(3, kKey, u"N", 6));
  DWORD number = 0;
  EXPECT_TRUE(editor.ReadDword(3, kKey, u"N", number));
  EXPECT_EQ(number, 6u);
  ASSERT_TRUE(editor.WriteString(3, kKey, u"S", u"12"));
  EXPECT_TRUE(editor.ReadDword(3, kKey, u"S", number));
  EXPECT_FALSE(editor.ReadDword(3, kKey, u"Missing", number));
  EXPECT_EQ(number, 6u);
}

// Runs every operation once on data that a local editor finds under root 3; the successes.
static int Successes(TRegEditor& e, DWORD root) {
  TStringEx s;
  DWORD d = 0;
  bool b = false;
  bool results[] = {e.ReadString(root, kKey, u"S", s),     e.WriteString(root, kKey, u"S", u"x"),
                    e.ReadDword(root, kKey, u"D", d),      e.WriteDword(root, kKey, u"D", 2),
                    e.ReadBool(root, kKey, u"D", b),       e.WriteBool(root, kKey, u"D", true),
                    e.EnumKey(root, kKey, 0, s),           e.GetKeyCount(root, kKey, d),
                    e.EnumValue(root, kKey, 0, s),         e.GetValueCount(root, kKey, d),
                    e.KeyExists(root, kKey),               e.ReadMUIString(root, kKey, u"S", s),
                    e.CreateKey(root, u"SOFTWARE\\New"),   e.DeleteValue(root, kKey, u"S"),
                    e.CopyKeyTree(root, kKey, root, u"SOFTWARE\\Copy"), e.DeleteKeyTree(root, kKey)};
  return static_cast<int>(std::count(std::begin(results), std::end(results), true));
}

TEST_F(TRegEditorTest, BadRootsAndRemoteMachinesFailEverywhere) {
  ASSERT_TRUE(editor.WriteString(3, kKey, u"S", u"text"));
  ASSERT_TRUE(editor.WriteDword(3, kKey, u"D", 1));
  ASSERT_TRUE(editor.CreateKey(3, u"SOFTWARE\\Editor\\Sub"));
  EXPECT_EQ(Successes(editor, 5), 0);
  int remoteOpen = 0;
  TRegEditor remote(3, TStringEx(u"server"), std::make_unique<CountingImp>(&remoteOpen));
  EXPECT_EQ(Successes(remote, 3), 0);
  EXPECT_EQ(remoteOpen, 0);
  EXPECT_EQ(Successes(editor, 3), 16);  // the same calls, locally: the data was there
}

TEST_F(TRegEditorTest, CopiesAndDeletesKeyTrees) {
  ASSERT_TRUE(editor.WriteDword(3, u"SOFTWARE\\Src\\A\\Deep", u"N", 3));
  ASSERT_TRUE(editor.CreateKey(3, u"SOFTWARE\\Src\\B"));
  ASSERT_TRUE(editor.CopyKeyTree(3, u"SOFTWARE\\Src", 2, u"SOFTWARE\\Dst"));
  DWORD number = 0, count = 0;
  EXPECT_TRUE(editor.ReadDword(2, u"SOFTWARE\\Dst\\A\\Deep", u"N", number));
  EXPECT_EQ(number, 3u);
  EXPECT_TRUE(editor.GetKeyCount(2, u"SOFTWARE\\Dst", count));
  EXPECT_EQ(count, 2u);
  // Never into the key's own subtree, whatever the case or a trailing backslash; a sibling whose
  // name merely starts with the source's is somewhere else.
  EXPECT_FALSE(editor.CopyKeyTree(3, u"SOFTWARE\\Src", 3, u"software\\SRC\\A\\Copy"));
  EXPECT_FALSE(editor.CopyKeyTree(3, u"SOFTWARE\\Src\\", 3, u"SOFTWARE\\Src"));
  EXPECT_FALSE(editor.KeyExists(3, u"SOFTWARE\\Src\\A\\Copy"));
  EXPECT_TRUE(editor.CopyKeyTree(3, u"SOFTWARE\\Src\\A", 3, u"SOFTWARE\\Src\\AB"));
  EXPECT_TRUE(editor.KeyExists(3, u"SOFTWARE\\Src\\AB\\Deep"));
  EXPECT_TRUE(editor.DeleteKeyTree(3, u"SOFTWARE\\Src"));
  EXPECT_FALSE(editor.KeyExists(3, u"SOFTWARE\\Src"));
  // A root cannot be deleted: the call fails and removes nothing under it.
  EXPECT_FALSE(editor.DeleteKeyTree(2, u""));
  EXPECT_TRUE(editor.KeyExists(2, u"SOFTWARE\\Dst\\A\\Deep"));
}
