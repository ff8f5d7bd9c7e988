#include "platform/RegistryStore.h"

#include <sys/stat.h>

#include <cstdlib>

#include "platform/CaseFold.h"

namespace platform {
namespace {

constexpr int kApplicationId = 0x546F6C76;  // "Tolv"
constexpr int kSchemaVersion = 1;
const char* const kRootNames[kRootCount] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_CONFIG", "HKEY_CURRENT_USER",
                                            "HKEY_LOCAL_MACHINE", "HKEY_USERS"};

// Keep this many recorded changes; a watcher that falls further behind is set conservatively.
constexpr std::int64_t kChangesKept = 4096;
constexpr unsigned kPruneEvery = 256;
constexpr int kBusyTimeoutMs = 10000;

void MakeDirectories(const std::string& filePath) {
  for (std::size_t pos = filePath.find('/', 1); pos != std::string::npos; pos = filePath.find('/', pos + 1))
    mkdir(filePath.substr(0, pos).c_str(), 0700);
}

}  // namespace

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

RegistryStore& RegistryStore::Instance() {
  static RegistryStore* store = new RegistryStore;
  return *store;
}

LONG RegistryStore::Ready() {
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
  m_watcher.Opened(DataVersion());
  return ERROR_SUCCESS;
}

LONG RegistryStore::Fail(LONG err) {
  if (err == ERROR_BADDB) m_damaged = true;
  return err;
}

RegistryQuery RegistryStore::Prepare(const char* sql) {
  if (m_db == nullptr) return RegistryQuery(nullptr, SQLITE_CANTOPEN);
  auto it = m_statements.find(sql);
  if (it != m_statements.end()) return RegistryQuery(it->second, SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) return RegistryQuery(nullptr, rc);
  m_statements.emplace(sql, stmt);
  return RegistryQuery(stmt, SQLITE_OK);
}

int RegistryStore::Changes() { return sqlite3_changes(m_db); }

LONG RegistryStore::Exec(const char* sql) {
  if (m_db == nullptr) return ERROR_REGISTRY_IO_FAILED;
  return FromSqlite(sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr));
}

LONG RegistryStore::Resolve(HKEY key, REGSAM need, std::int64_t* id, std::u16string* path) {
  int root = RootIndexOf(key);
  if (root >= 0) {
    *id = root + 1;
    *path = std::u16string(1, static_cast<char16_t>(u'0' + root));
    return ERROR_SUCCESS;
  }
  if (key == nullptr || m_handles.count(key) == 0) return ERROR_INVALID_HANDLE;
  if (key->generation != m_generation) return ERROR_KEY_DELETED;
  if ((key->access & need) != need) return ERROR_ACCESS_DENIED;
  RegistryQuery q = Prepare("SELECT 1 FROM keys WHERE id = ?1");
  int rc = q.Bind(1, key->id).Step();
  if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
  if (rc != SQLITE_ROW) return Fail(FromSqlite(rc));
  *id = key->id;
  *path = key->path;
  return ERROR_SUCCESS;
}

// Finds the child `name` of key `parent`; *child is 0 when there is none.
LONG RegistryStore::FindChild(std::int64_t parent, const std::u16string& fold, std::int64_t* child) {
  RegistryQuery q = Prepare("SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
  int rc = q.Bind(1, parent).Bind(2, fold).Step();
  if (rc == SQLITE_ROW) {
    *child = q.Int(0);
    return ERROR_SUCCESS;
  }
  *child = 0;
  return rc == SQLITE_DONE ? ERROR_SUCCESS : Fail(FromSqlite(rc));
}

LONG RegistryStore::Walk(std::int64_t id, std::u16string path, const std::vector<std::u16string>& parts, bool create,
                          std::int64_t* result, std::u16string* resultPath, bool* created) {
  if (created != nullptr) *created = false;
  for (const std::u16string& name : parts) {
    std::u16string fold = Fold(name);
    std::int64_t child = 0;
    LONG err = FindChild(id, fold, &child);
    if (err != ERROR_SUCCESS) return err;
    if (child == 0) {
      if (!create) return ERROR_FILE_NOT_FOUND;
      RegistryQuery q = Prepare("INSERT INTO keys(parent, name, fold) VALUES (?1, ?2, ?3)");
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

HKEY RegistryStore::NewHandle(std::int64_t id, std::u16string path, REGSAM access) {
  auto* key = new RegKeyObject{m_generation, id, std::move(path), access};
  m_handles.insert(key);
  return key;
}

LONG RegistryStore::CloseHandle(HKEY key) {
  if (m_handles.erase(key) == 0) return ERROR_INVALID_HANDLE;
  m_watcher.DropKey(key);
  delete key;
  return ERROR_SUCCESS;
}

LONG RegistryStore::Begin() {
  m_pending.clear();
  LONG err = Exec("BEGIN IMMEDIATE");
  return err == ERROR_SUCCESS ? err : Fail(err);
}
LONG RegistryStore::Commit() {
  LONG err = Exec("COMMIT");
  if (err != ERROR_SUCCESS) {
    Exec("ROLLBACK");
    m_pending.clear();
    return Fail(err);
  }
  for (const RegistryChange& c : m_pending) m_watcher.Deliver(c);
  m_pending.clear();
  return ERROR_SUCCESS;
}
LONG RegistryStore::Rollback(LONG err) {
  Exec("ROLLBACK");
  m_pending.clear();
  return err;
}

LONG RegistryStore::Record(DWORD kind, const std::u16string& path) {
  RegistryQuery q = Prepare("INSERT INTO changes(kind, path) VALUES (?1, ?2)");
  int rc = q.Bind(1, kind).Bind(2, path).Step();
  if (rc != SQLITE_DONE) return Fail(FromSqlite(rc));
  m_pending.push_back(RegistryChange{sqlite3_last_insert_rowid(m_db), kind, path});
  if (++m_writes % kPruneEvery == 0) {
    RegistryQuery prune = Prepare("DELETE FROM changes WHERE seq <= (SELECT max(seq) FROM changes) - ?1");
    rc = prune.Bind(1, kChangesKept).Step();
    if (rc != SQLITE_DONE) return Fail(FromSqlite(rc));
  }
  return ERROR_SUCCESS;
}

LONG RegistryStore::LastSeq(std::int64_t* seq) {
  RegistryQuery q = Prepare("SELECT coalesce(max(seq), 0) FROM changes");
  int rc = q.Step();
  if (rc != SQLITE_ROW) return Fail(FromSqlite(rc));
  *seq = q.Int(0);
  return ERROR_SUCCESS;
}

LONG RegistryStore::Initialise() {
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

LONG RegistryStore::ReadSchemaState(std::int64_t* appId, std::int64_t* tables) {
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

LONG RegistryStore::CreateSchema() {
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

std::int64_t RegistryStore::DataVersion() {
  RegistryQuery q = Prepare("PRAGMA data_version");
  return q.Step() == SQLITE_ROW ? q.Int(0) : -1;
}

void RegistryStore::Close() {
  for (auto& entry : m_statements) sqlite3_finalize(entry.second);
  m_statements.clear();
  if (m_db != nullptr) sqlite3_close_v2(m_db);
  m_db = nullptr;
  m_path.clear();
  m_damaged = false;
  ++m_generation;
  // Handles of the old store are dead; so are the notifications armed on them.
  m_watcher.DropAll();
}

}  // namespace platform
