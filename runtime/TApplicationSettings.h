// TApplicationSettings: installation-wide settings, read from a block of XML text that a process
// of the installation may publish in named shared memory, or else from the registry.
//
// The store is chosen once, at the first read or write of an object: when a live block is
// published, holds well-formed UTF-16 XML (ended by a NUL or by the end of its region, at most
// 1 Mi characters) and has a root element, every value comes from that block; otherwise every
// value comes from HKEY_LOCAL_MACHINE through TRegEditor. No failure is reported: a block that is
// missing, empty, unparsable or left by a process that has ended falls back to the registry.
//
// In the block each setting is a child element of the root (any root name), named after the
// value name, its text the value; the key path is ignored. Booleans are "true" or "false" in any
// letter case, integers are decimal text read as _wtoi reads it (a value out of range clamps),
// and an element without text is the empty string. In the registry, booleans and integers are
// REG_DWORD values (a boolean is true when not 0) and strings are REG_SZ.
//
// Writes go to the registry only, and are refused while the block is in use.
//
// The block is named "ApplicationSettingsSharedData", or what the environment variable
// TOLVANE_SETTINGS_SHM names when it is set and not empty (so that processes that publish their
// own blocks, such as tests running side by side, do not meet); see platform/SharedMemory.h for
// the names it has in the system. Readers and the publisher serialise on its mutex, which
// choosing the store waits for at most 5 seconds: a mutex left taken by a process that died
// makes the store fall back to the registry instead of hanging.
//
// Threads: an object is used by one thread; separate objects may be used on separate threads.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "foundation/TStringEx.h"
#include "platform/Win32Types.h"

class TSharedMemory;

class TApplicationSettings {
 public:
  using DWORD = platform::DWORD;
  using Setting = std::pair<TStringEx, TStringEx>;  // value name, value text

  TApplicationSettings();
  // Ends the publication of this object, if any.
  virtual ~TApplicationSettings();
  TApplicationSettings(const TApplicationSettings&) = delete;
  TApplicationSettings& operator=(const TApplicationSettings&) = delete;

  // True when a value was found; otherwise the out value is left as it was.
  bool ReadBool(const char16_t* keyPath, const char16_t* valueName, bool& value);
  bool ReadDword(const char16_t* keyPath, const char16_t* valueName, DWORD& value);
  bool ReadString(const char16_t* keyPath, const char16_t* valueName, TStringEx& value);
  bool ReadBool(const TStringEx& keyPath, const TStringEx& valueName, bool& value);
  bool ReadDword(const TStringEx& keyPath, const TStringEx& valueName, DWORD& value);
  bool ReadString(const TStringEx& keyPath, const TStringEx& valueName, TStringEx& value);

  // True when written. A REG_DWORD that already holds the value is left alone (true). Always false
  // while the shared block is in use.
  bool WriteBool(const char16_t* keyPath, const char16_t* valueName, bool value);
  bool WriteDword(const char16_t* keyPath, const char16_t* valueName, DWORD value);
  bool WriteString(const char16_t* keyPath, const char16_t* valueName, const char16_t* value);
  bool WriteBool(const TStringEx& keyPath, const TStringEx& valueName, bool value);
  bool WriteDword(const TStringEx& keyPath, const TStringEx& valueName, DWORD value);
  bool WriteString(const TStringEx& keyPath, const TStringEx& valueName, const TStringEx& value);

  // Chooses the store if not yet done; true when values come from the shared block.
  bool UsesSharedData();

  // Publishes a block holding these settings under the root "ApplicationSettingsSharedData", for
  // as long as this object lives or until Unpublish. False when this object publishes already,
  // when a setting's name is not an XML name, when a live block of that name exists, or when its
  // mutex stays taken for 5 seconds. Publishing does not change where this object reads from.
  bool Publish(const std::vector<Setting>& settings);
  void Unpublish();
  bool IsPublishing() const { return m_publication != nullptr; }

  // Whether active objects catch what their functors throw: the boolean "EnableCatch" under
  // "SOFTWARE\\Tolvane". When it cannot be read, 0 is written there as a REG_DWORD (unless the
  // shared block is in use; a failed write is ignored) and the result is false.
  static bool ReadEnableCatch();

  // The name of the shared block (see above).
  static TStringEx SharedDataName();

 private:
  struct Document;

  void ChooseStore();
  // The text of the setting's element in the block; false when there is no such element.
  bool ReadSharedText(const char16_t* valueName, TStringEx& text);

  bool m_loaded = false;
  bool m_useSharedData = false;
  std::unique_ptr<Document> m_document;  // the parsed block and its root; null without one
  std::unique_ptr<TSharedMemory> m_publication;
};
