// The registry: a hierarchical store of typed values under five roots, shaped like the Win32
// registry functions and kept in one SQLite database per user.
//
// Emulates: keys named by backslash paths under the predefined roots; key and value names that
// compare without regard to case and keep the case they were created with; typed values kept as
// the bytes given (REG_SZ as UTF-16 with its terminator, REG_DWORD as 4 bytes); access rights of a
// handle checked per call; Win32 error codes as results; change notification on a key, with or
// without its subtree, set by a change from this process or any other one.
// Leaves out: security descriptors, volatile keys, symbolic links, class names and last-write
// times (returned empty), indirect MUI strings, and remote machines (connecting fails with
// ERROR_NOT_SUPPORTED).
//
// The store file is the one named by the environment variable TOLVANE_REGISTRY, else
// $XDG_STATE_HOME/tolvane/registry.db, else ~/.local/state/tolvane/registry.db. The variable is
// read at every call: when it names another file, the old store is closed, its handles become
// invalid (ERROR_KEY_DELETED) and its pending notifications are set. A file that is not a registry
// store makes every call fail with ERROR_BADDB; one that cannot be opened, with
// ERROR_REGISTRY_IO_FAILED. Every write is one transaction, so a process killed during a write
// loses nothing that was committed.
//
// All functions are thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Event.h"
#include "platform/Win32Types.h"

namespace platform {

struct RegKeyObject;
using HKEY = RegKeyObject*;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000});
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001});
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});
inline HKEY const HKEY_USERS = reinterpret_cast<HKEY>(std::uintptr_t{0x80000003});
inline HKEY const HKEY_CURRENT_CONFIG = reinterpret_cast<HKEY>(std::uintptr_t{0x80000005});

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

constexpr DWORD REG_NOTIFY_CHANGE_NAME = 0x1;
constexpr DWORD REG_NOTIFY_CHANGE_ATTRIBUTES = 0x2;
constexpr DWORD REG_NOTIFY_CHANGE_LAST_SET = 0x4;
constexpr DWORD REG_NOTIFY_CHANGE_SECURITY = 0x8;

// Longest key name component and value name, in characters.
constexpr DWORD kMaxKeyNameLength = 255;
constexpr DWORD kMaxValueNameLength = 16383;

// Maps a root index (0 HKEY_CLASSES_ROOT, 1 HKEY_CURRENT_CONFIG, 2 HKEY_CURRENT_USER,
// 3 HKEY_LOCAL_MACHINE, 4 HKEY_USERS) to its root key; null for any other index.
HKEY RootKeyFromIndex(DWORD index);

// Opens an existing key. A null or empty subKey opens another handle to `key` itself.
LONG RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD options, REGSAM access, HKEY* result);

// Opens a key, creating it and every missing key along its path. `disposition` (may be null)
// receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY. Class, options and security are ignored.
LONG RegCreateKeyExW(HKEY key, const char16_t* subKey, DWORD reserved, char16_t* className, DWORD options,
                     REGSAM access, const void* security, HKEY* result, DWORD* disposition);

// Closes a handle; its pending change notifications are set. Closing a root key does nothing.
LONG RegCloseKey(HKEY key);

// A null or empty machine gives the local root key; any other machine fails with
// ERROR_NOT_SUPPORTED.
LONG RegConnectRegistryW(const char16_t* machine, HKEY key, HKEY* result);

// The name of the index-th subkey, in order of their names ignoring case. nameLength holds the
// buffer's size in characters and receives the name's length (without terminator);
// ERROR_MORE_DATA when it does not fit, ERROR_NO_MORE_ITEMS past the last one.
LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* nameLength, DWORD* reserved,
                   char16_t* className, DWORD* classLength, std::uint64_t* lastWriteTime);

// Counts and longest lengths of the subkeys and values of a key; every out argument may be null.
LONG RegQueryInfoKeyW(HKEY key, char16_t* className, DWORD* classLength, DWORD* reserved, DWORD* subKeys,
                      DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values, DWORD* maxValueNameLength,
                      DWORD* maxValueLength, DWORD* securityDescriptorLength, std::uint64_t* lastWriteTime);

// The index-th value of a key, in the order the values were first set.
LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* nameLength, DWORD* reserved, DWORD* type,
                   BYTE* data, DWORD* dataLength);

// Reads a value (a null or empty name is the key's default value). With data null only the type
// and size are returned; ERROR_MORE_DATA with the size needed when the buffer is too small.
LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* dataLength);

LONG RegDeleteValueW(HKEY key, const char16_t* name);

// Deletes a key that has no subkeys (ERROR_ACCESS_DENIED otherwise), with its values.
LONG RegDeleteKeyW(HKEY key, const char16_t* subKey);

LONG RegSetValueExW(HKEY key, const char16_t* name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataLength);

// Arms a one-time notification: `event` is set after the next change under the key that the
// filter names (values added, changed or deleted: REG_NOTIFY_CHANGE_LAST_SET; subkeys added or
// deleted: REG_NOTIFY_CHANGE_NAME), made by this process (at once) or another one (within about
// a tenth of a second), and when the key itself is deleted or its handle closed. The event must
// outlive the notification. A synchronous call (asynchronous false) blocks until then and takes
// no event.
LONG RegNotifyChangeKeyValue(HKEY key, bool watchSubtree, DWORD filter, Event* event, bool asynchronous);

// Loads a REG_SZ or REG_EXPAND_SZ value as a display string. Indirect strings ("@file,-id") name
// resources that do not exist here: ERROR_NOT_SUPPORTED.
LONG RegLoadMUIStringW(HKEY key, const char16_t* value, char16_t* out, DWORD outBytes, DWORD* dataBytes,
                       DWORD flags, const char16_t* directory);

// The path of the store file that the next call will use.
std::string RegistryStorePath();

}  // namespace platform
