// The registry functions over the store (platform/RegistryStore.h): paths, handles, values and
// change notifications by the Win32 rules.
#include "platform/Registry.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/RegistryStore.h"
#include "platform/TextConvert.h"

namespace platform {
namespace {

constexpr LONG ERROR_INVALID_DATA = 13;
constexpr DWORD kKnownFilters = 0xF;
constexpr DWORD kThreadAgnostic = 0x10000000;

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
  RegistryStore& s = RegistryStore::Instance();
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
  RegistryStore& s = RegistryStore::Instance();
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
  return OnKey(key, 0, [&](RegistryStore& s, std::int64_t id, std::u16string path) {
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
  RegistryStore& s = RegistryStore::Instance();
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
  RegistryStore& s = RegistryStore::Instance();
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
  return OnKey(key, KEY_ENUMERATE_SUB_KEYS, [&](RegistryStore& s, std::int64_t id, const std::u16string&) {
    RegistryQuery q = s.Prepare("SELECT name FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2");
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
  return OnKey(key, KEY_QUERY_VALUE, [&](RegistryStore& s, std::int64_t id, const std::u16string&) {
    // Name lengths are measured in UTF-8 bytes, never fewer than the UTF-16 units a caller needs.
    RegistryQuery k = s.Prepare("SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0) FROM keys WHERE parent = ?1");
    int rc = k.Bind(1, id).Step();
    if (rc != SQLITE_ROW) return s.Fail(FromSqlite(rc));
    RegistryQuery v = s.Prepare(
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
  return OnKey(key, KEY_QUERY_VALUE, [&](RegistryStore& s, std::int64_t id, const std::u16string&) {
    RegistryQuery q = s.Prepare("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2");
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
  return OnKey(key, KEY_QUERY_VALUE, [&](RegistryStore& s, std::int64_t id, const std::u16string&) {
    RegistryQuery q = s.Prepare("SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
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
  return InWriteTransaction(key, KEY_SET_VALUE, [&](RegistryStore& s, std::int64_t id, const std::u16string& path) {
    RegistryQuery q = s.Prepare(
        "INSERT INTO vals(key, name, fold, type, data) VALUES (?1, ?2, ?3, ?4, ?5)"
        " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
    int rc =
        q.Bind(1, id).Bind(2, valueName).Bind(3, Fold(valueName)).Bind(4, type).BindBlob(5, data, dataLength).Step();
    return rc != SQLITE_DONE ? s.Fail(FromSqlite(rc)) : s.Record(kChangeValue, path);
  });
}

LONG RegDeleteValueW(HKEY key, const char16_t* name) {
  return InWriteTransaction(key, KEY_SET_VALUE, [&](RegistryStore& s, std::int64_t id, const std::u16string& path) {
    RegistryQuery q = s.Prepare("DELETE FROM vals WHERE key = ?1 AND fold = ?2");
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
  return InWriteTransaction(key, 0, [&](RegistryStore& s, std::int64_t id, std::u16string path) {
    LONG walked = s.Walk(id, path, parts, false, &id, &path, nullptr);
    if (walked != ERROR_SUCCESS) return walked;
    if (id <= kRootCount) return ERROR_ACCESS_DENIED;
    RegistryQuery q = s.Prepare("SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
    int rc = q.Bind(1, id).Step();
    if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
    if (rc != SQLITE_DONE) return s.Fail(FromSqlite(rc));
    RegistryQuery v = s.Prepare("DELETE FROM vals WHERE key = ?1");
    if ((rc = v.Bind(1, id).Step()) != SQLITE_DONE) return s.Fail(FromSqlite(rc));
    RegistryQuery k = s.Prepare("DELETE FROM keys WHERE id = ?1");
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
  LONG err = OnKey(key, KEY_NOTIFY, [&](RegistryStore& s, std::int64_t, std::u16string path) {
    std::int64_t seq = 0;
    LONG armed = s.LastSeq(&seq);
    const RegKeyObject* owner = RootIndexOf(key) >= 0 ? nullptr : key;
    if (armed == ERROR_SUCCESS)
      s.Watcher().Arm(RegistryWatch{owner, std::move(path), watchSubtree, kinds, asynchronous ? event : &own, seq});
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
