// The registry store: one SQLite connection per process, its prepared statements, the open key
// handles and the write transactions, which record every change for the watchers. Private to
// platform/: the registry functions of platform/Registry.h are its only users.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/Registry.h"
#include "platform/RegistryWatcher.h"

namespace platform {

// An open key. `path` is the key's folded full path ("3\\SOFTWARE\\TOLVANE"), which change
// notifications compare against.
struct RegKeyObject {
  std::uint64_t generation;
  std::int64_t id;
  std::u16string path;
  REGSAM access;
};

constexpr int kRootCount = 5;

// The Win32 error for an SQLite result code.
LONG FromSqlite(int rc);
// The position of a root key in the store (the root's key id less one), -1 for any other handle.
int RootIndexOf(HKEY key);
// The text with its case folded, as names are compared and kept in the `fold` columns.
std::u16string Fold(const std::u16string& text);

// A prepared statement borrowed from the cache; reset when the borrow ends.
class RegistryQuery {
 public:
  RegistryQuery(sqlite3_stmt* stmt, int prepareRc) : m_stmt(stmt), m_rc(prepareRc) {}
  ~RegistryQuery() {
    if (m_stmt != nullptr) {
      sqlite3_reset(m_stmt);
      sqlite3_clear_bindings(m_stmt);
    }
  }
  RegistryQuery(const RegistryQuery&) = delete;
  RegistryQuery& operator=(const RegistryQuery&) = delete;

  RegistryQuery& Bind(int i, std::int64_t v) {
    if (m_rc == SQLITE_OK) m_rc = sqlite3_bind_int64(m_stmt, i, v);
    return *this;
  }
  RegistryQuery& Bind(int i, const std::u16string& v) {
    if (m_rc == SQLITE_OK)
      m_rc = sqlite3_bind_text16(m_stmt, i, v.data(), static_cast<int>(v.size() * 2), SQLITE_TRANSIENT);
    return *this;
  }
  RegistryQuery& BindBlob(int i, const void* data, DWORD size) {
    if (m_rc != SQLITE_OK) return *this;
    m_rc = size == 0 ? sqlite3_bind_zeroblob(m_stmt, i, 0)
                     : sqlite3_bind_blob(m_stmt, i, data, static_cast<int>(size), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() {
    if (m_rc != SQLITE_OK) return m_rc;
    int rc = sqlite3_step(m_stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) m_rc = rc;
    return rc;
  }
  std::int64_t Int(int col) { return sqlite3_column_int64(m_stmt, col); }
  std::u16string Text(int col) {
    const void* p = sqlite3_column_text16(m_stmt, col);
    int bytes = sqlite3_column_bytes16(m_stmt, col);
    return p == nullptr ? std::u16string() : std::u16string(static_cast<const char16_t*>(p), bytes / 2);
  }
  const void* Blob(int col, DWORD* size) {
    const void* p = sqlite3_column_blob(m_stmt, col);
    *size = static_cast<DWORD>(sqlite3_column_bytes(m_stmt, col));
    return p;
  }

 private:
  sqlite3_stmt* m_stmt;
  int m_rc;
};

class RegistryStore {
 public:
  // Never destroyed: the watcher thread and late callers at exit may still use it.
  static RegistryStore& Instance();

  std::mutex m_lock;

  // Everything below is called with m_lock held.

  // Opens the store named by the environment, if it is not the one already open.
  LONG Ready();
  bool IsOpen() const { return m_db != nullptr; }
  // Passes an error on. One that says the file is damaged or was replaced makes the next Ready
  // close the connection and look at the file afresh (closing now would finalize statements that
  // the failing call still borrows).
  LONG Fail(LONG err);
  // A cached statement for the SQL literal (its address is the cache key).
  RegistryQuery Prepare(const char* sql);
  // Rows changed by the last statement.
  int Changes();
  LONG Exec(const char* sql);
  std::int64_t DataVersion();

  // The key behind a handle (its id and folded path), checked for the access a call needs.
  LONG Resolve(HKEY key, REGSAM need, std::int64_t* id, std::u16string* path);
  // Walks the path below a key. With `create`, missing keys are made (inside the caller's
  // transaction) and `created` tells whether the last one was new.
  LONG Walk(std::int64_t id, std::u16string path, const std::vector<std::u16string>& parts, bool create,
            std::int64_t* result, std::u16string* resultPath, bool* created);
  HKEY NewHandle(std::int64_t id, std::u16string path, REGSAM access);
  // Frees the handle; its watches are set.
  LONG CloseHandle(HKEY key);

  // Write transactions. Changes recorded inside one are delivered to this process's watches once
  // it commits; Rollback gives back `err`.
  LONG Begin();
  LONG Commit();
  LONG Rollback(LONG err);
  LONG Record(DWORD kind, const std::u16string& path);
  // The number of the last change committed.
  LONG LastSeq(std::int64_t* seq);

  RegistryWatcher& Watcher() { return m_watcher; }

 private:
  RegistryStore() = default;

  LONG Initialise();
  LONG ReadSchemaState(std::int64_t* appId, std::int64_t* tables);
  LONG CreateSchema();
  LONG FindChild(std::int64_t parent, const std::u16string& fold, std::int64_t* child);
  void Close();

  sqlite3* m_db = nullptr;
  std::string m_path;
  std::uint64_t m_generation = 1;
  std::unordered_map<const char*, sqlite3_stmt*> m_statements;  // keyed by the SQL literal's address
  std::unordered_set<const RegKeyObject*> m_handles;
  std::vector<RegistryChange> m_pending;
  bool m_damaged = false;
  unsigned m_writes = 0;
  RegistryWatcher m_watcher{*this};
};

}  // namespace platform
