// TRegEditor: one-call access to single registry values.
//
// Every operation opens (or, to write, creates) the key it needs under the root of its index
// (0 HKEY_CLASSES_ROOT, 1 HKEY_CURRENT_CONFIG, 2 HKEY_CURRENT_USER, 3 HKEY_LOCAL_MACHINE,
// 4 HKEY_USERS), does one thing and closes every handle before it returns, so an editor is cheap
// to make on the stack. Operations return true on success and never print or throw; a missing
// key or value, a bad root index and a refused remote connection all read as false. Every
// registry call goes through the editor's TRegEditorImp.
//
// One editor is used by one thread at a time; separate editors may run on separate threads.
#pragma once

#include <memory>

#include "foundation/TRegEditorImp.h"
#include "foundation/TStringEx.h"

class TRegEditor {
 public:
  using DWORD = platform::DWORD;

  // A non-empty machine names a remote registry (not reachable here: every operation fails).
  explicit TRegEditor(DWORD defaultRoot = 3, const TStringEx& machine = TStringEx());
  // Takes a table of calls of the caller's own (tests observe the calls through one).
  TRegEditor(DWORD defaultRoot, const TStringEx& machine, std::unique_ptr<TRegEditorImp> imp);
  virtual ~TRegEditor();
  TRegEditor(const TRegEditor&) = delete;
  TRegEditor& operator=(const TRegEditor&) = delete;

  // REG_SZ. True with an empty result when the value has another type; false (result emptied)
  // when it is missing.
  bool ReadString(DWORD root, const char16_t* key, const char16_t* name, TStringEx& result);
  // Writes a REG_SZ value, creating the key path; a null value writes the empty string.
  bool WriteString(DWORD root, const char16_t* key, const char16_t* name, const char16_t* value);
  // REG_DWORD. The result is written only when a REG_DWORD was read; a value of another type
  // returns true and leaves it alone.
  bool ReadDword(DWORD root, const char16_t* key, const char16_t* name, DWORD& result);
  // Writes a REG_DWORD value, unless the same REG_DWORD value is already stored (watchers of the
  // key then see no change).
  bool WriteDword(DWORD root, const char16_t* key, const char16_t* name, DWORD value);
  bool ReadBool(DWORD root, const char16_t* key, const char16_t* name, bool& result);
  bool WriteBool(DWORD root, const char16_t* key, const char16_t* name, bool value);

  bool EnumKey(DWORD root, const char16_t* key, DWORD index, TStringEx& name);
  bool GetKeyCount(DWORD root, const char16_t* key, DWORD& count);
  bool EnumValue(DWORD root, const char16_t* key, DWORD index, TStringEx& name);
  bool GetValueCount(DWORD root, const char16_t* key, DWORD& count);
  bool DeleteValue(DWORD root, const char16_t* key, const char16_t* name);
  bool CreateKey(DWORD root, const char16_t* key);
  bool KeyExists(DWORD root, const char16_t* key);
  bool ReadMUIString(DWORD root, const char16_t* key, const char16_t* name, TStringEx& result);
  // Deletes a key with all its subkeys, depth first.
  bool DeleteKeyTree(DWORD root, const char16_t* key);
  // Copies a key with its values and subkeys, recursively, creating the target.
  bool CopyKeyTree(DWORD sourceRoot, const char16_t* sourceKey, DWORD targetRoot, const char16_t* targetKey);

  DWORD GetDefaultRoot() const { return m_defaultRoot; }
  bool IsRemote() const { return m_remote != 0; }

 private:
  using HKEY = platform::HKEY;
  using LONG = platform::LONG;

  LONG OpenRoot(DWORD root, HKEY* result);
  LONG OpenForRead(DWORD root, const char16_t* key, HKEY* result);
  LONG OpenForWrite(DWORD root, const char16_t* key, HKEY* result);
  // Reads a REG_DWORD; *found tells whether one was there.
  bool ReadDwordValue(DWORD root, const char16_t* key, const char16_t* name, DWORD& result, bool* found);

  DWORD m_defaultRoot;
  DWORD m_remote;
  TStringEx m_machine;
  std::unique_ptr<TRegEditorImp> m_imp;
};
