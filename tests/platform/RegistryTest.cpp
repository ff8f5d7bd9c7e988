#include "platform/Registry.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/TRegEditor.h"
#include "tests/TestSupport.h"

extern char** environ;

using namespace platform;
using testing_support::ScopedRegistry;
using Names = std::vector<std::u16string>;

namespace {

constexpr DWORD kMissing = 0xDEADBEEF;
const HKEY HKLM = HKEY_LOCAL_MACHINE;

HKEY Create(HKEY parent, const char16_t* path, DWORD* disposition = nullptr) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition), ERROR_SUCCESS);
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
// Subkey (or value) names in enumeration order; a failure other than the end shows as "!".
Names Enumerate(HKEY key, bool values) {
  Names names;
  for (DWORD i = 0;; ++i) {
    char16_t name[300];
    DWORD length = 300;
    LONG err = values ? RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr)
                      : RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (err != ERROR_SUCCESS) return err == ERROR_NO_MORE_ITEMS ? names : (names.push_back(u"!"), names);
    names.emplace_back(name, length);
  }
}
void WriteBytes(const std::string& file, const std::string& bytes, long offset = 0) {
  std::fstream(file, std::ios::in | std::ios::out | std::ios::binary | (offset ? std::ios::openmode() : std::ios::trunc))
          .seekp(offset)
      << bytes;
}
// The first column of the first row of one SQL statement run directly on a database file.
std::string Sql(const std::string& file, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  std::string result = "(error)";
  if (sqlite3_open(file.c_str(), &db) == SQLITE_OK && sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK) {
    int rc = sqlite3_step(stmt);
    const unsigned char* text = rc == SQLITE_ROW ? sqlite3_column_text(stmt, 0) : nullptr;
    if (rc == SQLITE_DONE || text != nullptr) result = text ? reinterpret_cast<const char*>(text) : "";
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return result;
}
// Runs diagreg on the test's store (it inherits the environment) with a time limit; its exit code.
int Diagreg(const std::string& args, std::string* output = nullptr) {
  FILE* pipe = popen(("timeout -s KILL 60 '" DIAGREG_EXE "' " + args).c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    if (output != nullptr) output->append(buffer, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(RegistryStore, NamesIgnoreCaseKeepFirstCaseAndEnumerateInOrder) {
  ScopedRegistry reg;
  DWORD disposition = 0;
  HKEY key = Create(HKLM, u"SOFTWARE\\Tolvane\\Deep", &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  HKEY again = Create(HKLM, u"software\\TOLVANE\\deep\\", &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  // Each value holds the second letter of the name it was set with.
  for (const char16_t* name : {u"Mixed", u"MIXED", u"zeta", u"Alpha"}) ASSERT_EQ(SetDword(again, name, name[1]), 0);
  EXPECT_EQ(GetDword(key, u"mixed"), u'I');
  EXPECT_EQ(Enumerate(key, true), (Names{u"Mixed", u"zeta", u"Alpha"}));  // in the order first set
  for (const char16_t* name : {u"b", u"A", u"c", u"B"}) RegCloseKey(Create(key, name));
  EXPECT_EQ(Enumerate(key, false), (Names{u"A", u"b", u"c"}));
  HKEY software = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKLM, u"Software", 0, KEY_READ, &software), ERROR_SUCCESS);
  EXPECT_EQ(Enumerate(software, false), Names{u"Tolvane"});
  for (HKEY h : {key, again, software}) EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
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
  const char16_t text[] = u"abcdef";
  ASSERT_EQ(RegSetValueExW(HKLM, u"S", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), 0);
  char16_t buffer[16] = {};
  DWORD type = 0, size = 4;
  EXPECT_EQ(RegQueryValueExW(HKLM, u"s", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof text);
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(HKLM, u"s", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(buffer), u"abcdef");
  EXPECT_EQ(RegQueryValueExW(key, u"s", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST(RegistryStore, DeletedClosedAndRemoteHandlesFail) {
  ScopedRegistry reg;
  HKEY parent = Create(HKLM, u"SOFTWARE\\Del");
  HKEY child = Create(parent, u"Child");
  EXPECT_EQ(RegDeleteKeyW(HKLM, u"SOFTWARE\\Del"), ERROR_ACCESS_DENIED);  // it has a subkey
  EXPECT_EQ(RegDeleteKeyW(HKLM, u""), ERROR_ACCESS_DENIED);               // a root
  ASSERT_EQ(RegDeleteKeyW(parent, u"CHILD"), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(child, u"x", 1), ERROR_KEY_DELETED);
  HKEY fresh = Create(parent, u"Fresh");  // must not be reached through the deleted key's handle
  EXPECT_EQ(SetDword(child, u"x", 1), ERROR_KEY_DELETED);
  EXPECT_EQ(GetDword(fresh, u"x"), kMissing);
  for (HKEY h : {child, fresh, parent}) EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(fresh), ERROR_INVALID_HANDLE);
  EXPECT_EQ(SetDword(fresh, u"x", 1), ERROR_INVALID_HANDLE);
  HKEY remote = nullptr;
  EXPECT_EQ(RegConnectRegistryW(u"\\\\server", HKLM, &remote), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(RegConnectRegistryW(u"", HKLM, &remote), ERROR_SUCCESS);
  EXPECT_EQ(remote, HKLM);
}

TEST(RegistryStore, FilesThatAreNotStoresFailEveryCallAndStayUntouched) {
  auto expectEveryCall = [](LONG expected) {
    HKEY key = nullptr;
    DWORD value = 1, size = 4;
    EXPECT_EQ(RegCreateKeyExW(HKEY_USERS, u"X", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), expected);
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u"X", 0, KEY_READ, &key), expected);
    EXPECT_EQ(SetDword(HKEY_USERS, u"v", 1), expected);
    EXPECT_EQ(RegQueryValueExW(HKEY_USERS, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), expected);
    EXPECT_EQ(RegDeleteKeyW(HKEY_USERS, u"X"), expected);
  };
  {
    ScopedRegistry reg;
    std::string garbage(10000, 'Z');
    WriteBytes(reg.File(), garbage);
    expectEveryCall(ERROR_BADDB);
    std::ifstream in(reg.File(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage);
  }
  {
    ScopedRegistry reg;
    ASSERT_EQ(Sql(reg.File(), "CREATE TABLE notes(x)"), "");
    expectEveryCall(ERROR_BADDB);
    EXPECT_EQ(Sql(reg.File(), "SELECT group_concat(name) FROM sqlite_schema"), "notes");
    EXPECT_EQ(Sql(reg.File(), "PRAGMA journal_mode"), "delete");
  }
  {
    ScopedRegistry reg;
    WriteBytes(reg.File(), "plain file");
    setenv("TOLVANE_REGISTRY", (reg.File() + "/sub/registry.db").c_str(), 1);
    expectEveryCall(ERROR_REGISTRY_IO_FAILED);
  }
  {
    // A store whose first page (4096 bytes) is sound but whose tables are damaged.
    ScopedRegistry reg;
    RegCloseKey(Create(HKEY_USERS, u"X"));
    setenv("TOLVANE_REGISTRY", reg.Dir().File("other.db").c_str(), 1);
    RegCloseKey(Create(HKEY_USERS, u"Y"));  // closes the first store, which folds its log into the file
    auto size = static_cast<std::size_t>(std::filesystem::file_size(reg.File()));
    ASSERT_GT(size, 4096u);
    WriteBytes(reg.File(), std::string(size - 4096, 'Z'), 4096);
    setenv("TOLVANE_REGISTRY", reg.File().c_str(), 1);
    for (int i = 0; i < 2; ++i) expectEveryCall(ERROR_BADDB);
  }
}

TEST(RegistryNotify, ChangesInThisProcessSetArmedEventsOnce) {
  ScopedRegistry reg;
  HKEY key = Create(HKLM, u"SOFTWARE\\Watched"), sub = Create(key, u"Sub");
  HKEY sibling = Create(HKLM, u"SOFTWARE\\WatchedToo");
  Event flat(true, false), tree(true, false);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_LAST_SET, &flat, true), ERROR_SUCCESS);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, true, REG_NOTIFY_CHANGE_LAST_SET, &tree, true), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(sibling, u"x", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key, u"missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(flat.IsSet() || tree.IsSet());
  ASSERT_EQ(SetDword(sub, u"x", 1), ERROR_SUCCESS);
  EXPECT_FALSE(flat.IsSet());
  EXPECT_TRUE(tree.IsSet());
  tree.Reset();
  ASSERT_EQ(SetDword(key, u"x", 1), ERROR_SUCCESS);
  EXPECT_TRUE(flat.IsSet());
  EXPECT_FALSE(tree.IsSet());  // it fired already and was not armed again
  flat.Reset();
  ASSERT_EQ(RegDeleteValueW(key, u"x"), ERROR_SUCCESS);
  EXPECT_FALSE(flat.IsSet());
  ASSERT_EQ(RegNotifyChangeKeyValue(key, true, REG_NOTIFY_CHANGE_LAST_SET, &tree, true), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(tree.IsSet());
  RegCloseKey(sub);
  RegCloseKey(sibling);
}

TEST(RegistryNotify, ChangesByAnotherProcessSetArmedEvents) {
  ScopedRegistry reg;
  HKEY key = Create(HKLM, u"SOFTWARE\\Remote");
  Event flat(true, false), tree(true, false);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_LAST_SET, &flat, true), ERROR_SUCCESS);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, true, REG_NOTIFY_CHANGE_LAST_SET, &tree, true), ERROR_SUCCESS);
  EXPECT_EQ(Diagreg("add 'HKLM\\SOFTWARE\\Remote\\Sub' /v x /t REG_DWORD /d 1 /f"), 0);
  EXPECT_TRUE(tree.Wait(20000));
  EXPECT_FALSE(flat.IsSet());  // the poll that set the subtree watch has seen the change
  EXPECT_EQ(Diagreg("add 'HKLM\\SOFTWARE\\Remote' /v x /t REG_SZ /d y /f"), 0);
  EXPECT_TRUE(flat.Wait(20000));
  RegCloseKey(key);  // sets whatever is still armed before the events go
}

TEST(RegistryKill, CommittedWritesSurviveSigkill) {
  ScopedRegistry reg;
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  char* argv[] = {const_cast<char*>(REG_WRITER_CHILD), nullptr};
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  std::string text;  // until 200 writes were reported, the child ended, or a minute passed
  char buffer[4096];
  ssize_t n = 1;
  testing_support::WaitFor([&] {
    pollfd p{fds[0], POLLIN, 0};
    if (n > 0 && poll(&p, 1, 100) > 0 && (n = read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
    return spawned != 0 || n <= 0 || std::count(text.begin(), text.end(), '\n') >= 200;
  }, std::chrono::seconds(60));
  if (spawned == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  close(fds[0]);
  text.erase(text.rfind('\n') + 1);
  DWORD reported = static_cast<DWORD>(std::count(text.begin(), text.end(), '\n'));
  ASSERT_GE(reported, 200u) << text;
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKLM, u"SOFTWARE\\Kill", 0, KEY_READ, &key), ERROR_SUCCESS);
  for (DWORD i = 0; i < reported; ++i)
    ASSERT_EQ(GetDword(key, testing_support::U16("v" + std::to_string(i)).c_str()), i);
  DWORD values = 0;
  EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(values == reported || values == reported + 1) << values;  // + the write not yet reported
  RegCloseKey(key);
  EXPECT_EQ(Sql(reg.File(), "PRAGMA integrity_check"), "ok");
}

TEST(RegistryTwoProcesses, DiagregAndEditorSeeEachOthersValues) {
  ScopedRegistry reg;
  ASSERT_EQ(Diagreg("add 'HKLM\\SOFTWARE\\Shared' /v Greeting /t REG_SZ /d 'hi there' /f"), 0);
  TRegEditor editor;
  TStringEx text;
  EXPECT_TRUE(editor.ReadString(3, u"software\\shared", u"GREETING", text));
  EXPECT_EQ(text, u"hi there");
  ASSERT_TRUE(editor.WriteDword(3, u"SOFTWARE\\Shared", u"Count", 42));
  std::string out;
  EXPECT_EQ(Diagreg("query 'HKLM\\SOFTWARE\\Shared' /v Count", &out), 0);
  EXPECT_NE(out.find("Count    REG_DWORD    0x2a"), std::string::npos) << out;
}
