// TDiagnosticServerCommand: one console command, with its name, its one-line description, its
// syntax text and whether `help` lists it. Commands run on the console thread.
#pragma once

#include <cstdint>

#include "console/ConsoleApi.h"
#include "foundation/TStringEx.h"
#include "foundation/TStringExArray.h"
#include "platform/Win32Types.h"

class TDiagnosticServer;

// What a command's Execute reports; the dispatcher does not look at it.
enum EDiagnosticCommandStatus : std::int32_t { eCommandFailed = 0, eCommandDone = 1 };

class TOLVANE_CONSOLE_API TDiagnosticServerCommand {
 public:
  // Records the calling thread as the creator (see GetCreatorThread).
  TDiagnosticServerCommand(const char16_t* name, const char16_t* description, const char16_t* syntax, bool hidden);
  virtual ~TDiagnosticServerCommand();
  TDiagnosticServerCommand(const TDiagnosticServerCommand&) = delete;
  TDiagnosticServerCommand& operator=(const TDiagnosticServerCommand&) = delete;

  // `name` is the command name as typed; replies go to connection `id`.
  virtual EDiagnosticCommandStatus Execute(TDiagnosticServer& console, int id, const TStringEx* name,
                                           const TStringExArray* args) = 0;
  // Whether the typed name selects this command: equal without regard to letter case; an empty
  // name is selected only by an empty name.
  virtual bool IsCommand(const char16_t* typed) const;

  const TStringEx& GetName() const { return m_name; }
  const TStringEx& GetDescription() const { return m_description; }
  const TStringEx& GetSyntax() const { return m_syntax; }
  bool IsHidden() const { return m_hidden; }
  // The thread that constructed the command: the one that first asked for the console.
  platform::DWORD GetCreatorThread() const { return m_creatorThread; }

 private:
  TStringEx m_name;
  TStringEx m_description;
  TStringEx m_syntax;
  bool m_hidden;
  platform::DWORD m_creatorThread;
};

// A typed line taken apart: the name is everything before the first space; the rest is
// everything from that space on (empty when there is none); the arguments are the rest split at
// runs of spaces, none empty. Only the space separates: a TAB belongs to its word.
struct TCommandLine {
  TStringEx name;
  TStringEx rest;
  TStringExArray args;
};
TOLVANE_CONSOLE_API TCommandLine SplitCommandLine(const TStringEx& line);

// Whether two texts are equal without regard to letter case.
bool EqualsNoCase(const char16_t* a, std::uint32_t lengthA, const char16_t* b, std::uint32_t lengthB);
