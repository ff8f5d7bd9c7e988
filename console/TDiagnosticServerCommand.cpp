#include "console/TDiagnosticServerCommand.h"

#include "platform/CaseFold.h"
#include "platform/Thread.h"

TDiagnosticServerCommand::TDiagnosticServerCommand(const char16_t* name, const char16_t* description,
                                                   const char16_t* syntax, bool hidden)
    : m_name(name),
      m_description(description),
      m_syntax(syntax),
      m_hidden(hidden),
      m_creatorThread(platform::CurrentThreadId()) {}

TDiagnosticServerCommand::~TDiagnosticServerCommand() = default;

bool TDiagnosticServerCommand::IsCommand(const char16_t* typed) const {
  TStringEx name(typed);
  if (name.IsEmpty() || m_name.IsEmpty()) return name.IsEmpty() && m_name.IsEmpty();
  return EqualsNoCase(name.c_str(), name.Length(), m_name.c_str(), m_name.Length());
}

bool EqualsNoCase(const char16_t* a, std::uint32_t lengthA, const char16_t* b, std::uint32_t lengthB) {
  if (lengthA != lengthB) return false;
  for (std::uint32_t i = 0; i < lengthA; ++i)
    if (platform::FoldCase(a[i]) != platform::FoldCase(b[i])) return false;
  return true;
}

TCommandLine SplitCommandLine(const TStringEx& line) {
  TCommandLine parsed;
  int space = line.Find(u' ');
  if (space < 0) {
    parsed.name = line;
    return parsed;
  }
  parsed.name = line.Left(space);
  parsed.rest = line.Mid(space, static_cast<int>(line.Length()) - space);
  parsed.rest.Split(u' ', parsed.args);
  return parsed;
}
