// TCommandsPersistence: the commands whose last line the console remembers for the next start.
//
// One entry per registered command name (ordinal, case-sensitive order), holding the last line
// that ran the command. With a registry location (Load), the lines are read from and written to
// REG_SZ values named after the commands under "<base path>\Console". Registry failures are
// silent: a value that cannot be read reads as empty and is created empty. Destroying the store
// writes nothing. Used on the console thread and, before the console is busy, on the host's;
// it has no lock of its own.
#pragma once

#include <cstdint>
#include <map>

#include "foundation/TStringEx.h"

class TCommandsPersistence {
 public:
  static constexpr std::uint32_t kNoRoot = 0xFFFFFFFF;

  TCommandsPersistence() = default;
  virtual ~TCommandsPersistence() = default;
  TCommandsPersistence(const TCommandsPersistence&) = delete;
  TCommandsPersistence& operator=(const TCommandsPersistence&) = delete;

  // Adds an entry (an existing one stays as it is), reading its line when a location is set.
  void Register(const TStringEx& name);
  // Sets the location (root index 0 to 4) and reads every entry's line from it.
  void Load(const char16_t* basePath, std::uint32_t root);
  // Writes every entry, empty lines included; nothing without a location.
  void Save();
  // The entry `name` (exactly) now holds "name" + " " + rest; other names are not remembered.
  void Remember(const TStringEx& name, const TStringEx& rest);

  const std::map<TStringEx, TStringEx>& Entries() const { return m_entries; }
  std::uint32_t GetRoot() const { return m_root; }
  const TStringEx& GetKeyPath() const { return m_keyPath; }

 private:
  // The saved line of `name`, created empty in the registry when it cannot be read.
  TStringEx ReadLine(const TStringEx& name);

  std::map<TStringEx, TStringEx> m_entries;
  std::uint32_t m_root = kNoRoot;
  TStringEx m_keyPath;
};
