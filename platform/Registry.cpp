// The registry store over SQLite: one connection per process, guarded by one lock, plus a
// watcher thread that reads other processes' changes while notifications are armed.
#include "platform/Registry.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/CaseFold.h"
#include "platform/TextConvert.h"

namespace platform {

// An open key. `path` is the key's folded full path ("3\\SOFTWARE\\TOLVANE"), which change
// notifications compare against.
struct RegKeyObject {
  std::uint64_t generation;
  std::int64_t id;
  std::u16string path;
  REGSAM access;
};

namespace {

constexpr int kApplicationId = 0x546F6C76;  // "Tolv"
constexpr int kSchemaVersion = 1;
constexpr int kRootCount = 5;
const char* const kRootNames[kRootCount] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_CONFIG", "HKEY_CURRENT_USER",
                                            "HKEY_LOCAL_MACHINE", "HKEY_USERS"};
constexpr LONG ERROR_INVALID_DATA = 13;

// Kinds of recorded change. A deleted key is recorded at its own path so that watchers of the key
// itself learn that it went away.
constexpr DWORD kChangeName = REG_NOTIFY_CHANGE_NAME;
constexpr DWORD kChangeValue = REG_NOTIFY_CHANGE_LAST_SET;
constexpr DWORD kChangeKeyDeleted = 0x100;
constexpr DWORD kKnownFilters = 0xF;
constexpr DWORD kThreadAgnostic = 0x10000000;

// Keep this many recorded changes; a watcher that falls further behind is set conservatively.
constexpr std::int64_t kChangesKept = 4096;
constexpr unsigned kPruneEvery = 256;
constexpr auto kPollPeriod = std::chrono::milliseconds(100);
constexpr int kBusyTimeoutMs = 10000;

struct Change {
  std::int64_t seq;
  DWORD kind;
  std::u16string path;
};

struct Watch {
  const RegKeyObject* key;  // null for a root key
  std::u16string path;
  bool subtree;
  DWORD filter;
  Event* event;
  std::int64_t armedSeq;
};

bool Matches(const Watch& w, const Change& c) {
  bool exact = c.path == w.path;
  bool below = w.subtree && c.path.size() > w.path.size() && c.path.compare(0, w.path.size(), w.path) == 0 &&
               c.path[w.path.size()] == u'\\';
  if (!exact && !below) return false;
  if (c.kind == kChangeKeyDeleted) return exact || (w.filter & kChangeValue) != 0;
  return (c.kind & w.filter) != 0;
}

LONG FromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE: return ERROR_SUCCESS;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_FORMAT: return ERROR_BADDB;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_BUSY;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_TOOBIG: return ERROR_INVALID_PARAMETER;
    default: return ERROR_REGISTRY_IO_FAILED;
  }
}

int RootIndexOf(HKEY key) {
  switch (reinterpret_cast<std::uintptr_t>(key)) {
    case 0x80000000: return 0;
    case 0x80000005: return 1;
    case 0x80000001: return 2;
    case 0x80000002: return 3;
    case 0x80000003: return 4;
    default: return -1;
  }
}

std::u16string Fold(const std::u16string& text) {
  std::u16string out(text.size(), u'\0');
  FoldCase(text.data(), text.size(), out.data());
  return out;
}

// Splits a subkey path into its names. An empty name is a bad path, except after a single
// trailing backslash.
LONG SplitPath(const char16_t* subKey, std::vector<std::u16string>& parts) {
  parts.clear();
  std::size_t length = Utf16Length(subKey);
  std::size_t start = 0;
  while (start < length) {
    std::size_t end = start;
    while (end < length && subKey[end] != u'\\') ++end;
    if (end == start) return ERROR_BAD_PATHNAME;
    if (end - start > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    parts.emplace_back(subKey + start, end - start);
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

void MakeDirectories(const std::string& filePath) {
  for (std::size_t pos = filePath.find('/', 1); pos != std::string::npos; pos = filePath.find('/', pos + 1))
    mkdir(filePath.substr(0, pos).c_str(), 0700);
}

// A prepared statement borrowed from the cache; reset when the borrow ends.
class Query {
 public:
  Query(sqlite3_stmt* stmt, int prepareRc) : m_stmt(stmt), m_rc(prepareRc) {}
  ~Query() {
    if (m_stmt != nullptr) {
      sqlite3_reset(m_stmt);
      sqlite3_clear_bindings(m_stmt);
    }
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Bind(int i, std::int64_t v) {
    if (m_rc == SQLITE_OK) m_rc = sqlite3_bind_int64(m_stmt, i, v);
    return *this;
  }
  Query& Bind(int i, const std::u16string& v) {
    if (m_rc == SQLITE_OK)
      m_rc = sqlite3_bind_text16(m_stmt, i, v.data(), static_cast<int>(v.size() * 2), SQLITE_TRANSIENT);
    return *this;
  }
  Query& BindBlob(int i, const void* data, DWORD size) {
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

class Store {
 public:
  static Store& Instance() {
    // Never destroyed: the watcher thread and late callers at exit may still use it.
    static Store* store = new Store;
    return *store;
  }

  std::mutex m_lock;

  // Everything below is guarded by m_lock.

  // Opens the store named by the environment, if it is not the one already open.
  LONG Ready() {
    std::string path = RegistryStorePath();
    if (m_db != nullptr && path == m_path && !m_damaged) return ERROR_SUCCESS;
    Close();
    m_path = path;
    if (path.empty()) return ERROR_REGISTRY_IO_FAILED;
    MakeDirectories(path);
    int rc = sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
      Close();
      return ERROR_REGISTRY_IO_FAILED;
    }
    sqlite3_extended_result_codes(m_db, 0);
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    LONG err = Initialise();
    if (err != ERROR_SUCCESS) {
      Close();
      return err;
    }
    m_dataVersion = DataVersion();
    return ERROR_SUCCESS;
  }

  // After an error that says the file is damaged or was replaced, the next call closes the
  // connection and looks at the file afresh. Closing now would finalize statements that the
  // failing call still borrows.
  LONG Fail(LONG err) {
    if (err == ERROR_BADDB) m_damaged = true;
    return err;
  }

  Query Prepare(const char* sql) {
    if (m_db == nullptr) return Query(nullptr, SQLITE_CANTOPEN);
    auto it = m_statements.find(sql);
    if (it != m_statements.end()) return Query(it->second, SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) return Query(nullptr, rc);
    m_statements.emplace(sql, stmt);
    return Query(stmt, SQLITE_OK);
  }

  int Changes() { return sqlite3_changes(m_db); }

  LONG Exec(const char* sql) {
    if (m_db == nullptr) return ERROR_REGISTRY_IO_FAILED;
    return FromSqlite(sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr));
  }

  // The key behind a handle, checked for the access a call needs.
  LONG Resolve(HKEY key, REGSAM need, std::int64_t* id, std::u16string* path) {
    int root = RootIndexOf(key);
    if (root >= 0) {
      *id = root + 1;
      *path = std::u16string(1, static_cast<char16_t>(u'0' + root));
      return ERROR_SUCCESS;
    }
    if (key == nullptr || m_handles.count(key) == 0) return ERROR_INVALID_HANDLE;
    if (key->generation != m_generation) return ERROR_KEY_DELETED;
    if ((key->access & need) != need) return ERROR_ACCESS_DENIED;
    Query q = Prepare("SELECT 1 FROM keys WHERE id = ?1");
    int rc = q.Bind(1, key->id).Step();
    if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
    if (rc != SQLITE_ROW) return Fail(FromSqlite(rc));
    *id = key->id;
    *path = key->path;
    return ERROR_SUCCESS;
  }

  // Finds the child `name` of key `parent`; *child is 0 when there is none.
  LONG FindChild(std::int64_t parent, const std::u16string& fold, std::int64_t* child) {
    Query q = Prepare("SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
    int rc = q.Bind(1, parent).Bind(2, fold).Step();
    if (rc == SQLITE_ROW) {
      *child = q.Int(0);
      return ERROR_SUCCESS;
    }
    *child = 0;
    return rc == SQLITE_DONE ? ERROR_SUCCESS : Fail(FromSqlite(rc));
  }

  // Walks the path below a key. With `create`, missing keys are made (inside the caller's
  // transaction) and `created` tells whether the last one was new.
  LONG Walk(std::int64_t id, std::u16string path, const std::vector<std::u16string>& parts, bool create,
            std::int64_t* result, std::u16string* resultPath, bool* created) {
    if (created != nullptr) *created = false;
    for (const std::u16string& name : parts) {
      std::u16string fold = Fold(name);
      std::int64_t child = 0;
      LONG err = FindChild(id, fold, &child);
      if (err != ERROR_SUCCESS) return err;
      if (child == 0) {
        if (!create) return ERROR_FILE_NOT_FOUND;
        Query q = Prepare("INSERT INTO keys(parent, name, fold) VALUES (?1, ?2, ?3)");
        int rc = q.Bind(1, id).Bind(2, name).Bind(3, fold).Step();
        if (rc != SQLITE_DONE) return Fail(FromSqlite(rc));
        child = sqlite3_last_insert_rowid(m_db);
        err = Record(kChangeName, path);
        if (err != ERROR_SUCCESS) return err;
        if (created != nullptr) *created = true;
      } else if (created != nullptr) {
        *created = false;
      }
      id = child;
      path += u'\\';
      path += fold;
    }
    *result = id;
    *resultPath = std::move(path);
    return ERROR_SUCCESS;
  }

  HKEY NewHandle(std::int64_t id, std::u16string path, REGSAM access) {
    auto* key = new RegKeyObject{m_generation, id, std::move(path), access};
    m_handles.insert(key);
    return key;
  }

  LONG CloseHandle(HKEY key) {
    if (m_handles.erase(key) == 0) return ERROR_INVALID_HANDLE;
    for (auto it = m_watches.begin(); it != m_watches.end();) {
      if (it->key == key) {
        it->event->Set();
        it = m_watches.erase(it);
      } else {
        ++it;
      }
    }
    delete key;
    return ERROR_SUCCESS;
  }

  // Write transactions. Changes recorded inside one are delivered to this process's watchers once
  // it commits.
  LONG Begin() {
    m_pending.clear();
    LONG err = Exec("BEGIN IMMEDIATE");
    return err == ERROR_SUCCESS ? err : Fail(err);
  }
  LONG Commit() {
    LONG err = Exec("COMMIT");
    if (err != ERROR_SUCCESS) {
      Exec("ROLLBACK");
      m_pending.clear();
      return Fail(err);
    }
    for (const Change& c : m_pending) Deliver(c);
    m_pending.clear();
    return ERROR_SUCCESS;
  }
  LONG Rollback(LONG err) {
    Exec("ROLLBACK");
    m_pending.clear();
    return err;
  }

  LONG Record(DWORD kind, const std::u16string& path) {
    Query q = Prepare("INSERT INTO changes(kind, path) VALUES (?1, ?2)");
    int rc = q.Bind(1, kind).Bind(2, path).Step();
    if (rc != SQLITE_DONE) return Fail(FromSqlite(rc));
    m_pending.push_back(Change{sqlite3_last_insert_rowid(m_db), kind, path});
    if (++m_writes % kPruneEvery == 0) {
      Query prune = Prepare("DELETE FROM changes WHERE seq <= (SELECT max(seq) FROM changes) - ?1");
      rc = prune.Bind(1, kChangesKept).Step();
      if (rc != SQLITE_DONE) return Fail(FromSqlite(rc));
    }
    return ERROR_SUCCESS;
  }

  LONG LastSeq(std::int64_t* seq) {
    Query q = Prepare("SELECT coalesce(max(seq), 0) FROM changes");
    int rc = q.Step();
    if (rc != SQLITE_ROW) return Fail(FromSqlite(rc));
    *seq = q.Int(0);
    return ERROR_SUCCESS;
  }

  void Arm(Watch watch) {
    m_watches.push_back(std::move(watch));
    if (!m_watcherRunning) {
      m_watcherRunning = true;
      std::thread([this] { RunWatcher(); }).detach();
    }
  }

  void Deliver(const Change& c) {
    for (auto it = m_watches.begin(); it != m_watches.end();) {
      if (c.seq > it->armedSeq && Matches(*it, c)) {
        it->event->Set();
        it = m_watches.erase(it);
      } else {
        ++it;
      }
    }
  }

 private:
  Store() = default;

  LONG Initialise() {
    // Whose file it is comes first: another program's database must not be switched to WAL.
    std::int64_t appId = 0, tables = 0;
    LONG err = ReadSchemaState(&appId, &tables);
    if (err != ERROR_SUCCESS) return err;
    if (appId != kApplicationId && (appId != 0 || tables != 0)) return ERROR_BADDB;  // some other program's
    err = Exec("PRAGMA journal_mode=WAL");
    if (err != ERROR_SUCCESS) return err;
    err = Exec("PRAGMA synchronous=NORMAL");
    if (err != ERROR_SUCCESS) return err;
    if (appId == kApplicationId) return ERROR_SUCCESS;
    err = Exec("BEGIN IMMEDIATE");
    if (err != ERROR_SUCCESS) return err;
    // Another process may have set it up while we waited for the write lock.
    err = ReadSchemaState(&appId, &tables);
    if (err == ERROR_SUCCESS && appId == 0 && tables == 0) err = CreateSchema();
    if (err == ERROR_SUCCESS && appId != 0 && appId != kApplicationId) err = ERROR_BADDB;
    if (err != ERROR_SUCCESS) {
      Exec("ROLLBACK");
      return err;
    }
    return Exec("COMMIT");
  }

  LONG ReadSchemaState(std::int64_t* appId, std::int64_t* tables) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(m_db, "PRAGMA application_id", -1, &stmt, nullptr);
    if (rc == SQLITE_OK && (rc = sqlite3_step(stmt)) == SQLITE_ROW) *appId = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW) return FromSqlite(rc);
    rc = sqlite3_prepare_v2(m_db, "SELECT count(*) FROM sqlite_schema", -1, &stmt, nullptr);
    if (rc == SQLITE_OK && (rc = sqlite3_step(stmt)) == SQLITE_ROW) *tables = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return rc == SQLITE_ROW ? ERROR_SUCCESS : FromSqlite(rc);
  }

  LONG CreateSchema() {
    std::string sql =
        "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL, name TEXT NOT NULL,"
        " fold TEXT NOT NULL, UNIQUE(parent, fold));"
        "CREATE TABLE vals(key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
        " type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold));"
        "CREATE TABLE changes(seq INTEGER PRIMARY KEY AUTOINCREMENT, kind INTEGER NOT NULL, path TEXT NOT NULL);";
    for (int i = 0; i < kRootCount; ++i) {
      sql += "INSERT INTO keys(id, parent, name, fold) VALUES (" + std::to_string(i + 1) + ", 0, '" + kRootNames[i] +
             "', '" + kRootNames[i] + "');";
    }
    sql += "PRAGMA application_id=" + std::to_string(kApplicationId) + ";";
    sql += "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
    return Exec(sql.c_str());
  }

  std::int64_t DataVersion() {
    Query q = Prepare("PRAGMA data_version");
    return q.Step() == SQLITE_ROW ? q.Int(0) : -1;
  }

  void Close() {
    for (auto& entry : m_statements) sqlite3_finalize(entry.second);
    m_statements.clear();
    if (m_db != nullptr) sqlite3_close_v2(m_db);
    m_db = nullptr;
    m_path.clear();
    m_damaged = false;
    ++m_generation;
    // Handles of the old store are dead; so are the notifications armed on them.
    for (Watch& w : m_watches) w.event->Set();
    m_watches.clear();
  }

  // Reads the changes other processes committed, while any notification is armed.
  void RunWatcher() {
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
      m_watcherWake.wait_for(guard, kPollPeriod);
      if (m_watches.empty()) {
        m_watcherRunning = false;
        return;
      }
      if (m_db != nullptr) PollOnce();
    }
  }

  void PollOnce() {
    std::int64_t version = DataVersion();
    if (version == m_dataVersion) return;
    m_dataVersion = version;
    std::int64_t from = m_watches.front().armedSeq;
    for (const Watch& w : m_watches) from = std::min(from, w.armedSeq);
    Query oldest = Prepare("SELECT coalesce(min(seq), 0) FROM changes");
    if (oldest.Step() == SQLITE_ROW && oldest.Int(0) > from + 1) {
      // Changes this watcher never saw were pruned: set every watch that may have missed one.
      std::int64_t first = oldest.Int(0);
      for (auto it = m_watches.begin(); it != m_watches.end();) {
        if (it->armedSeq + 1 < first) {
          it->event->Set();
          it = m_watches.erase(it);
        } else {
          ++it;
        }
      }
    }
    Query q = Prepare("SELECT seq, kind, path FROM changes WHERE seq > ?1 ORDER BY seq");
    q.Bind(1, from);
    std::vector<Change> changes;
    while (q.Step() == SQLITE_ROW) changes.push_back(Change{q.Int(0), static_cast<DWORD>(q.Int(1)), q.Text(2)});
    for (const Change& c : changes) Deliver(c);
  }

  sqlite3* m_db = nullptr;
  std::string m_path;
  std::uint64_t m_generation = 1;
  std::unordered_map<const char*, sqlite3_stmt*> m_statements;  // keyed by the SQL literal's address
  std::unordered_set<const RegKeyObject*> m_handles;
  std::vector<Watch> m_watches;
  std::vector<Change> m_pending;
  std::int64_t m_dataVersion = -1;
  bool m_damaged = false;
  unsigned m_writes = 0;
  bool m_watcherRunning = false;
  std::condition_variable m_watcherWake;
};

// Copies a value's data to a caller's buffer by the Win32 rules.
LONG CopyValue(DWORD storedType, const void* blob, DWORD size, DWORD* type, BYTE* data, DWORD* dataLength) {
  if (type != nullptr) *type = storedType;
  if (data != nullptr && dataLength == nullptr) return ERROR_INVALID_PARAMETER;
  if (dataLength == nullptr) return ERROR_SUCCESS;
  DWORD room = *dataLength;
  *dataLength = size;
  if (data == nullptr) return ERROR_SUCCESS;
  if (room < size) return ERROR_MORE_DATA;
  if (size > 0) std::memcpy(data, blob, size);
  return ERROR_SUCCESS;
}

// Copies a name to a caller's buffer of *length characters (terminator included).
LONG CopyName(const std::u16string& name, char16_t* out, DWORD* length) {
  if (out == nullptr || length == nullptr) return ERROR_INVALID_PARAMETER;
  if (name.size() + 1 > *length) return ERROR_MORE_DATA;
  std::memcpy(out, name.data(), name.size() * 2);
  out[name.size()] = 0;
  *length = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

std::u16string ValueName(const char16_t* name) { return name == nullptr ? std::u16string() : std::u16string(name); }

// Runs act(store, key id, key path) under the store's lock on the key behind a handle, checked
// for the access a call needs.
template <class Act>
LONG OnKey(HKEY key, REGSAM need, Act act) {
  Store& s = Store::Instance();
  std::lock_guard<std::mutex> guard(s.m_lock);
  LONG err = s.Ready();
  if (err != ERROR_SUCCESS) return err;
  std::int64_t id = 0;
  std::u16string path;
  if ((err = s.Resolve(key, need, &id, &path)) != ERROR_SUCCESS) return err;
  return act(s, id, path);
}

// The same inside one write transaction, which commits when act succeeds and is rolled back
// otherwise. The key is checked inside it, so another process cannot delete it under us.
template <class Act>
LONG InWriteTransaction(HKEY key, REGSAM need, Act act) {
  Store& s = Store::Instance();
  std::lock_guard<std::mutex> guard(s.m_lock);
  LONG err = s.Ready();
  if (err != ERROR_SUCCESS || (err = s.Begin()) != ERROR_SUCCESS) return err;
  std::int64_t id = 0;
  std::u16string path;
  if ((err = s.Resolve(key, need, &id, &path)) != ERROR_SUCCESS || (err = act(s, id, path)) != ERROR_SUCCESS)
    return s.Rollback(err);
  return s.Commit();
}

}  // namespace

HKEY RootKeyFromIndex(DWORD index) {
  static const HKEY roots[kRootCount] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                                         HKEY_USERS};
  return index < kRootCount ? roots[index] : nullptr;
}

std::string RegistryStorePath() {
  const char* explicitPath = std::getenv("TOLVANE_REGISTRY");
  if (explicitPath != nullptr && explicitPath[0] != '\0') return explicitPath;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/tolvane/registry.db";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/tolvane/registry.db";
  return std::string();
}

LONG RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD, REGSAM access, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::vector<std::u16string> parts;
  LONG err = SplitPath(subKey, parts);
  if (err != ERROR_SUCCESS) return err;
  return OnKey(key, 0, [&](Store& s, std::int64_t id, std::u16string path) {
    LONG walked = s.Walk(id, path, parts, false, &id, &path, nullptr);
    if (walked == ERROR_SUCCESS) *result = s.NewHandle(id, std::move(path), access);
    return walked;
  });
}

LONG RegCreateKeyExW(HKEY key, const char16_t* subKey, DWORD, char16_t*, DWORD, REGSAM access, const void*,
                     HKEY* result, DWORD* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::vector<std::u16string> parts;
  LONG err = SplitPath(subKey, parts);
  if (err != ERROR_SUCCESS) return err;
  Store& s = Store::Instance();
  std::lock_guard<std::mutex> guard(s.m_lock);
  if ((err = s.Ready()) != ERROR_SUCCESS) return err;
  std::int64_t id = 0;
  std::u16string path;
  if ((err = s.Resolve(key, 0, &id, &path)) != ERROR_SUCCESS) return err;
  std::int64_t found = 0;
  std::u16string foundPath;
  err = s.Walk(id, path, parts, false, &found, &foundPath, nullptr);
  bool created = false;
  if (err == ERROR_FILE_NOT_FOUND) {
    if ((err = s.Begin()) != ERROR_SUCCESS) return err;
    // The parent is checked again inside the transaction: another process may have deleted it.
    if ((err = s.Resolve(key, 0, &id, &path)) != ERROR_SUCCESS) return s.Rollback(err);
    err = s.Walk(id, path, parts, true, &found, &foundPath, &created);
    if (err != ERROR_SUCCESS) return s.Rollback(err);
    if ((err = s.Commit()) != ERROR_SUCCESS) return err;
  } else if (err != ERROR_SUCCESS) {
    return err;
  }
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = s.NewHandle(found, std::move(foundPath), access);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (RootIndexOf(key) >= 0) return ERROR_SUCCESS;
  Store& s = Store::Instance();
  std::lock_guard<std::mutex> guard(s.m_lock);
  return s.CloseHandle(key);
}

LONG RegConnectRegistryW(const char16_t* machine, HKEY key, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (Utf16Length(machine) != 0) return ERROR_NOT_SUPPORTED;
  if (RootIndexOf(key) < 0) return ERROR_INVALID_HANDLE;
  *result = key;
  return ERROR_SUCCESS;
}

LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* nameLength, DWORD*, char16_t* className,
                   DWORD* classLength, std::uint64_t* lastWriteTime) {
  return OnKey(key, KEY_ENUMERATE_SUB_KEYS, [&](Store& s, std::int64_t id, const std::u16string&) {
    Query q = s.Prepare("SELECT name FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2");
    int rc = q.Bind(1, id).Bind(2, index).Step();
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return s.Fail(FromSqlite(rc));
    if (classLength != nullptr) {
      if (className != nullptr && *classLength > 0) className[0] = 0;
      *classLength = 0;
    }
    if (lastWriteTime != nullptr) *lastWriteTime = 0;
    return CopyName(q.Text(0), name, nameLength);
  });
}

LONG RegQueryInfoKeyW(HKEY key, char16_t* className, DWORD* classLength, DWORD*, DWORD* subKeys, DWORD* maxSubKeyLength,
                      DWORD* maxClassLength, DWORD* values, DWORD* maxValueNameLength, DWORD* maxValueLength,
                      DWORD* securityDescriptorLength, std::uint64_t* lastWriteTime) {
  return OnKey(key, KEY_QUERY_VALUE, [&](Store& s, std::int64_t id, const std::u16string&) {
    // Name lengths are measured in UTF-8 bytes, never fewer than the UTF-16 units a caller needs.
    Query k = s.Prepare("SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0) FROM keys WHERE parent = ?1");
    int rc = k.Bind(1, id).Step();
    if (rc != SQLITE_ROW) return s.Fail(FromSqlite(rc));
    Query v = s.Prepare(
        "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0), coalesce(max(length(data)), 0)"
        " FROM vals WHERE key = ?1");
    rc = v.Bind(1, id).Step();
    if (rc != SQLITE_ROW) return s.Fail(FromSqlite(rc));
    if (classLength != nullptr) {
      if (className != nullptr && *classLength > 0) className[0] = 0;
      *classLength = 0;
    }
    if (subKeys != nullptr) *subKeys = static_cast<DWORD>(k.Int(0));
    if (maxSubKeyLength != nullptr) *maxSubKeyLength = static_cast<DWORD>(k.Int(1));
    if (maxClassLength != nullptr) *maxClassLength = 0;
    if (values != nullptr) *values = static_cast<DWORD>(v.Int(0));
    if (maxValueNameLength != nullptr) *maxValueNameLength = static_cast<DWORD>(v.Int(1));
    if (maxValueLength != nullptr) *maxValueLength = static_cast<DWORD>(v.Int(2));
    if (securityDescriptorLength != nullptr) *securityDescriptorLength = 0;
    if (lastWriteTime != nullptr) *lastWriteTime = 0;
    return ERROR_SUCCESS;
  });
}

LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* nameLength, DWORD*, DWORD* type, BYTE* data,
                   DWORD* dataLength) {
  return OnKey(key, KEY_QUERY_VALUE, [&](Store& s, std::int64_t id, const std::u16string&) {
    Query q = s.Prepare("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2");
    int rc = q.Bind(1, id).Bind(2, index).Step();
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return s.Fail(FromSqlite(rc));
    LONG err = CopyName(q.Text(0), name, nameLength);
    if (err != ERROR_SUCCESS) return err;
    DWORD size = 0;
    const void* blob = q.Blob(2, &size);
    return CopyValue(static_cast<DWORD>(q.Int(1)), blob, size, type, data, dataLength);
  });
}

LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD*, DWORD* type, BYTE* data, DWORD* dataLength) {
  return OnKey(key, KEY_QUERY_VALUE, [&](Store& s, std::int64_t id, const std::u16string&) {
    Query q = s.Prepare("SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
    int rc = q.Bind(1, id).Bind(2, Fold(ValueName(name))).Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return s.Fail(FromSqlite(rc));
    DWORD size = 0;
    const void* blob = q.Blob(1, &size);
    return CopyValue(static_cast<DWORD>(q.Int(0)), blob, size, type, data, dataLength);
  });
}

LONG RegSetValueExW(HKEY key, const char16_t* name, DWORD, DWORD type, const BYTE* data, DWORD dataLength) {
  if (data == nullptr && dataLength != 0) return ERROR_INVALID_PARAMETER;
  std::u16string valueName = ValueName(name);
  if (valueName.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
  return InWriteTransaction(key, KEY_SET_VALUE, [&](Store& s, std::int64_t id, const std::u16string& path) {
    Query q = s.Prepare(
        "INSERT INTO vals(key, name, fold, type, data) VALUES (?1, ?2, ?3, ?4, ?5)"
        " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
    int rc =
        q.Bind(1, id).Bind(2, valueName).Bind(3, Fold(valueName)).Bind(4, type).BindBlob(5, data, dataLength).Step();
    return rc != SQLITE_DONE ? s.Fail(FromSqlite(rc)) : s.Record(kChangeValue, path);
  });
}

LONG RegDeleteValueW(HKEY key, const char16_t* name) {
  return InWriteTransaction(key, KEY_SET_VALUE, [&](Store& s, std::int64_t id, const std::u16string& path) {
    Query q = s.Prepare("DELETE FROM vals WHERE key = ?1 AND fold = ?2");
    int rc = q.Bind(1, id).Bind(2, Fold(ValueName(name))).Step();
    if (rc != SQLITE_DONE) return s.Fail(FromSqlite(rc));
    if (s.Changes() == 0) return ERROR_FILE_NOT_FOUND;
    return s.Record(kChangeValue, path);
  });
}

LONG RegDeleteKeyW(HKEY key, const char16_t* subKey) {
  std::vector<std::u16string> parts;
  LONG err = SplitPath(subKey, parts);
  if (err != ERROR_SUCCESS) return err;
  return InWriteTransaction(key, 0, [&](Store& s, std::int64_t id, std::u16string path) {
    LONG walked = s.Walk(id, path, parts, false, &id, &path, nullptr);
    if (walked != ERROR_SUCCESS) return walked;
    if (id <= kRootCount) return ERROR_ACCESS_DENIED;
    Query q = s.Prepare("SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
    int rc = q.Bind(1, id).Step();
    if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
    if (rc != SQLITE_DONE) return s.Fail(FromSqlite(rc));
    Query v = s.Prepare("DELETE FROM vals WHERE key = ?1");
    if ((rc = v.Bind(1, id).Step()) != SQLITE_DONE) return s.Fail(FromSqlite(rc));
    Query k = s.Prepare("DELETE FROM keys WHERE id = ?1");
    if ((rc = k.Bind(1, id).Step()) != SQLITE_DONE) return s.Fail(FromSqlite(rc));
    LONG err = s.Record(kChangeName, path.substr(0, path.rfind(u'\\')));
    return err != ERROR_SUCCESS ? err : s.Record(kChangeKeyDeleted, path);
  });
}

LONG RegNotifyChangeKeyValue(HKEY key, bool watchSubtree, DWORD filter, Event* event, bool asynchronous) {
  DWORD kinds = filter & ~kThreadAgnostic;
  if (kinds == 0 || (kinds & ~kKnownFilters) != 0) return ERROR_INVALID_PARAMETER;
  if (asynchronous && event == nullptr) return ERROR_INVALID_PARAMETER;
  Event own(true, false);
  LONG err = OnKey(key, KEY_NOTIFY, [&](Store& s, std::int64_t, std::u16string path) {
    std::int64_t seq = 0;
    LONG armed = s.LastSeq(&seq);
    const RegKeyObject* owner = RootIndexOf(key) >= 0 ? nullptr : key;
    if (armed == ERROR_SUCCESS)
      s.Arm(Watch{owner, std::move(path), watchSubtree, kinds, asynchronous ? event : &own, seq});
    return armed;
  });
  if (err == ERROR_SUCCESS && !asynchronous) own.Wait(INFINITE_TIMEOUT);
  return err;
}

LONG RegLoadMUIStringW(HKEY key, const char16_t* value, char16_t* out, DWORD outBytes, DWORD* dataBytes, DWORD flags,
                       const char16_t*) {
  if (flags > 1 || (out == nullptr && outBytes != 0)) return ERROR_INVALID_PARAMETER;
  DWORD type = 0, size = 0;
  LONG err = RegQueryValueExW(key, value, nullptr, &type, nullptr, &size);
  if (err != ERROR_SUCCESS) return err;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  // Whole units plus a terminator, even when the data ends in half a unit.
  std::vector<char16_t> data(size / 2 + 2, 0);
  DWORD got = size;
  if ((err = RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got)) !=
      ERROR_SUCCESS)
    return err;
  const char16_t* text = data.data();
  if (text[0] == u'@') return ERROR_NOT_SUPPORTED;
  DWORD bytes = static_cast<DWORD>((Utf16Length(text) + 1) * 2);
  if (dataBytes != nullptr) *dataBytes = bytes;
  if (outBytes < bytes) return ERROR_MORE_DATA;
  std::memcpy(out, text, bytes);
  return ERROR_SUCCESS;
}

}  // namespace platform
