#include "foundation/TRegEditor.h"

#include <vector>

#include "platform/TextConvert.h"

using namespace platform;

TRegEditor::TRegEditor(DWORD defaultRoot, const TStringEx& machine)
    : TRegEditor(defaultRoot, machine, std::make_unique<TRegEditorImp>()) {}

TRegEditor::TRegEditor(DWORD defaultRoot, const TStringEx& machine, std::unique_ptr<TRegEditorImp> imp)
    : m_defaultRoot(defaultRoot), m_remote(machine.IsEmpty() ? 0 : 1), m_imp(std::move(imp)) {
  if (m_remote) m_machine = machine;
}

TRegEditor::~TRegEditor() = default;

LONG TRegEditor::OpenRoot(DWORD root, HKEY* result) {
  HKEY local = RootKeyFromIndex(root);
  if (local == nullptr) return ERROR_INVALID_PARAMETER;
  if (!m_remote) {
    *result = local;
    return ERROR_SUCCESS;
  }
  return m_imp->RegConnectRegistryW(m_machine.c_str(), local, result);
}

LONG TRegEditor::OpenForRead(DWORD root, const char16_t* key, HKEY* result) {
  HKEY base = nullptr;
  LONG err = OpenRoot(root, &base);
  if (err != ERROR_SUCCESS) return err;
  err = m_imp->RegOpenKeyExW(base, key, 0, KEY_READ, result);
  if (m_remote) m_imp->RegCloseKey(base);
  return err;
}

LONG TRegEditor::OpenForWrite(DWORD root, const char16_t* key, HKEY* result) {
  HKEY base = nullptr;
  LONG err = OpenRoot(root, &base);
  if (err != ERROR_SUCCESS) return err;
  err = m_imp->RegCreateKeyExW(base, key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, result, nullptr);
  if (m_remote) m_imp->RegCloseKey(base);
  return err;
}

bool TRegEditor::ReadString(DWORD root, const char16_t* key, const char16_t* name, TStringEx& result) {
  HKEY hkey = nullptr;
  if (OpenForRead(root, key, &hkey) != ERROR_SUCCESS) {
    result.Free();
    return false;
  }
  DWORD type = 0, size = 0;
  LONG err = m_imp->RegQueryValueExW(hkey, name, nullptr, &type, nullptr, &size);
  bool stands = false;
  if (err == ERROR_SUCCESS && size != 0 && type == REG_SZ) {
    result.Alloc(size / 2 + 1);
    DWORD got = size;
    err = m_imp->RegQueryValueExW(hkey, name, nullptr, &type, reinterpret_cast<BYTE*>(result.Buffer()), &got);
    // A value of odd size fills part of the last unit: it always ends in a terminator.
    result.Buffer()[result.Size() - 1] = 0;
    stands = err == ERROR_SUCCESS && got != 0 && type == REG_SZ;
  }
  if (!stands) result.Free();
  m_imp->RegCloseKey(hkey);
  return err == ERROR_SUCCESS;
}

bool TRegEditor::WriteString(DWORD root, const char16_t* key, const char16_t* name, const char16_t* value) {
  HKEY hkey = nullptr;
  LONG err = OpenForWrite(root, key, &hkey);
  if (err != ERROR_SUCCESS) return false;
  if (name != nullptr) {
    if (value == nullptr) value = u"";
    DWORD bytes = static_cast<DWORD>((Utf16Length(value) + 1) * 2);
    err = m_imp->RegSetValueExW(hkey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
  }
  m_imp->RegCloseKey(hkey);
  return err == ERROR_SUCCESS;
}

bool TRegEditor::ReadDwordValue(DWORD root, const char16_t* key, const char16_t* name, DWORD& result, bool* found) {
  *found = false;
  HKEY hkey = nullptr;
  if (OpenForRead(root, key, &hkey) != ERROR_SUCCESS) return false;
  DWORD type = 0, size = sizeof(DWORD);
  LONG err = m_imp->RegQueryValueExW(hkey, name, nullptr, &type, nullptr, &size);
  if (err == ERROR_SUCCESS && type == REG_DWORD) {
    DWORD value = 0;
    size = sizeof(DWORD);
    err = m_imp->RegQueryValueExW(hkey, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (err == ERROR_SUCCESS) {
      result = value;
      *found = true;
    }
  }
  m_imp->RegCloseKey(hkey);
  return err == ERROR_SUCCESS;
}

bool TRegEditor::ReadDword(DWORD root, const char16_t* key, const char16_t* name, DWORD& result) {
  bool found = false;
  return ReadDwordValue(root, key, name, result, &found);
}

bool TRegEditor::WriteDword(DWORD root, const char16_t* key, const char16_t* name, DWORD value) {
  // Only a stored REG_DWORD of the same value is left alone: a value of another type is replaced.
  DWORD current = 0;
  bool found = false;
  if (ReadDwordValue(root, key, name, current, &found) && found && current == value) return true;
  HKEY hkey = nullptr;
  if (OpenForWrite(root, key, &hkey) != ERROR_SUCCESS) return false;
  LONG err = m_imp->RegSetValueExW(hkey, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
  m_imp->RegCloseKey(hkey);
  return err == ERROR_SUCCESS;
}

bool TRegEditor::ReadBool(DWORD root, const char16_t* key, const char16_t* name, bool& result) {
  DWORD value = 0;
  if (!ReadDword(root, key, name, value)) return false;
  result = value != 0;
  return true;
}

bool TRegEditor::WriteBool(DWORD root, const char16_t* key, const char16_t* name, bool value) {
  return WriteDword(root, key, name, value ? 1 : 0);
}

bool TRegEditor::EnumKey(DWORD root, const char16_t* key, DWORD index, TStringEx& name) {
  HKEY hkey = nullptr;
  if (OpenForRead(root, key, &hkey) != ERROR_SUCCESS) return false;
  char16_t buffer[kMaxKeyNameLength + 1];
  DWORD length = kMaxKeyNameLength + 1;
  LONG err = m_imp->RegEnumKeyExW(hkey, index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
  m_imp->RegCloseKey(hkey);
  if (err != ERROR_SUCCESS) return false;
  name.Assign(buffer);
  return true;
}

bool TRegEditor::GetKeyCount(DWORD root, const char16_t* key, DWORD& count) {
  HKEY hkey = nullptr;
  if (OpenForRead(root, key, &hkey) != ERROR_SUCCESS) return false;
  LONG err = m_imp->RegQueryInfoKeyW(hkey, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr);
  m_imp->RegCloseKey(hkey);
  return err == ERROR_SUCCESS;
}

bool TRegEditor::EnumValue(DWORD root, const char16_t* key, DWORD index, TStringEx& name) {
  HKEY hkey = nullptr;
  if (OpenForRead(root, key, &hkey) != ERROR_SUCCESS) return false;
  std::vector<char16_t> buffer(kMaxValueNameLength + 1);
  DWORD length = kMaxValueNameLength + 1;
  LONG err = m_imp->RegEnumValueW(hkey, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
  m_imp->RegCloseKey(hkey);
  if (err != ERROR_SUCCESS) return false;
  name.Assign(buffer.data());
  return true;
}

bool TRegEditor::GetValueCount(DWORD root, const char16_t* key, DWORD& count) {
  HKEY hkey = nullptr;
  if (OpenForRead(root, key, &hkey) != ERROR_SUCCESS) return false;
  LONG err = m_imp->RegQueryInfoKeyW(hkey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr,
                                     nullptr, nullptr, nullptr);
  m_imp->RegCloseKey(hkey);
  return err == ERROR_SUCCESS;
}

bool TRegEditor::DeleteValue(DWORD root, const char16_t* key, const char16_t* name) {
  HKEY base = nullptr, hkey = nullptr;
  if (OpenRoot(root, &base) != ERROR_SUCCESS) return false;
  LONG err = m_imp->RegOpenKeyExW(base, key, 0, KEY_SET_VALUE, &hkey);
  if (m_remote) m_imp->RegCloseKey(base);
  if (err != ERROR_SUCCESS) return false;
  err = m_imp->RegDeleteValueW(hkey, name);
  m_imp->RegCloseKey(hkey);
  return err == ERROR_SUCCESS;
}

bool TRegEditor::CreateKey(DWORD root, const char16_t* key) {
  HKEY hkey = nullptr;
  if (OpenForWrite(root, key, &hkey) != ERROR_SUCCESS) return false;
  m_imp->RegCloseKey(hkey);
  return true;
}

bool TRegEditor::KeyExists(DWORD root, const char16_t* key) {
  HKEY hkey = nullptr;
  if (OpenForRead(root, key, &hkey) != ERROR_SUCCESS) return false;
  m_imp->RegCloseKey(hkey);
  return true;
}

bool TRegEditor::ReadMUIString(DWORD root, const char16_t* key, const char16_t* name, TStringEx& result) {
  HKEY hkey = nullptr;
  if (OpenForRead(root, key, &hkey) != ERROR_SUCCESS) return false;
  std::vector<char16_t> buffer(256);
  DWORD needed = 0;
  LONG err = m_imp->RegLoadMUIStringW(hkey, name, buffer.data(), static_cast<DWORD>(buffer.size() * 2), &needed, 0,
                                      nullptr);
  if (err == ERROR_MORE_DATA) {
    buffer.assign(needed / 2 + 1, 0);
    err = m_imp->RegLoadMUIStringW(hkey, name, buffer.data(), static_cast<DWORD>(buffer.size() * 2), &needed, 0,
                                   nullptr);
  }
  m_imp->RegCloseKey(hkey);
  if (err != ERROR_SUCCESS) return false;
  buffer.back() = 0;
  result.Assign(buffer.data());
  return true;
}

bool TRegEditor::DeleteKeyTree(DWORD root, const char16_t* key) {
  // Subkeys first; each deletion moves the next subkey to index 0.
  for (;;) {
    TStringEx child;
    if (!EnumKey(root, key, 0, child)) break;
    TStringEx path;
    path.Format(u"%s\\%s", key, child);
    if (!DeleteKeyTree(root, path.c_str())) return false;
  }
  HKEY base = nullptr;
  if (OpenRoot(root, &base) != ERROR_SUCCESS) return false;
  LONG err = m_imp->RegDeleteKeyW(base, key);
  if (m_remote) m_imp->RegCloseKey(base);
  return err == ERROR_SUCCESS;
}

bool TRegEditor::CopyKeyTree(DWORD sourceRoot, const char16_t* sourceKey, DWORD targetRoot, const char16_t* targetKey) {
  // A copy into the key's own subtree would never end.
  if (sourceRoot == targetRoot) {
    TStringEx from(sourceKey), to(targetKey);
    from.TrimRight(u'\\');
    to.TrimRight(u'\\');
    if (from.IsEmpty() ||
        (to.FindNoCase(from.c_str()) == 0 && (to.Length() == from.Length() || to[from.Length()] == u'\\')))
      return false;
  }
  HKEY source = nullptr, target = nullptr;
  if (OpenForRead(sourceRoot, sourceKey, &source) != ERROR_SUCCESS) return false;
  if (OpenForWrite(targetRoot, targetKey, &target) != ERROR_SUCCESS) {
    m_imp->RegCloseKey(source);
    return false;
  }
  bool ok = true;
  std::vector<char16_t> name(kMaxValueNameLength + 1);
  std::vector<BYTE> data;
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD type = 0, size = 0;
    LONG err = m_imp->RegEnumValueW(source, index, name.data(), &nameLength, nullptr, &type, nullptr, &size);
    if (err == ERROR_NO_MORE_ITEMS) break;
    data.resize(size);
    nameLength = static_cast<DWORD>(name.size());
    if (err == ERROR_SUCCESS)
      err = m_imp->RegEnumValueW(source, index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
    if (err == ERROR_SUCCESS) err = m_imp->RegSetValueExW(target, name.data(), 0, type, data.data(), size);
    if (err != ERROR_SUCCESS) {
      ok = false;
      break;
    }
  }
  m_imp->RegCloseKey(target);
  m_imp->RegCloseKey(source);
  for (DWORD index = 0; ok; ++index) {
    TStringEx child;
    if (!EnumKey(sourceRoot, sourceKey, index, child)) break;
    TStringEx from, to;
    from.Format(u"%s\\%s", sourceKey, child);
    to.Format(u"%s\\%s", targetKey, child);
    ok = CopyKeyTree(sourceRoot, from.c_str(), targetRoot, to.c_str());
  }
  return ok;
}
