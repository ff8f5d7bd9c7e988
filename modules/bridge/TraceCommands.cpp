// The trace commands: time, threadid, currentmod, dbg, specdbgcmd.
#include "console/BuiltinCommands.h"
#include "modules/TConsole.h"
#include "modules/TTraceRegistry.h"
#include "platform/Process.h"

namespace {

// Flips a switch of the console's own formatter and says so; the line already carries the new
// prefix setting. Returns the new state.
bool Toggle(bool (*get)(), void (*set)(bool), const char16_t* format) {
  bool on = !get();
  set(on);
  TConsole::PrintLine(format, on ? u"enabled" : u"disabled");
  return on;
}

void ReplyDbgHelp(TDiagnosticServer& console, int id) {
  static const char16_t* const kHelp[] = {
      u"Increases/decreases the level of a diagnostic trace",
      u" ",
      u"Syntax:",
      u"   dbg <trace name>+",
      u"   dbg <trace name>-",
      u" ",
      u"To display all trace name: dbg ?",
      u" ",
  };
  for (const char16_t* line : kHelp) console.ReplyLine(id, u"%s", line);
}

// The name the console's own traces answer under: the executable's file name.
std::u16string OwnModuleName() {
  std::u16string path = platform::ExecutablePath();
  std::size_t slash = path.rfind(u'/');
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

}  // namespace

EDiagnosticCommandStatus TDiagnosticServer::TimeCommand::Execute(TDiagnosticServer& console, int, const TStringEx*,
                                                                 const TStringExArray*) {
  console.SetTimeStampInModules(
      Toggle(TConsole::GetPrintTimeStamp, TConsole::SetPrintTimeStamp, u"Timestamp print is %s"));
  return eCommandDone;
}

EDiagnosticCommandStatus TDiagnosticServer::ThreadIDCommand::Execute(TDiagnosticServer&, int, const TStringEx*,
                                                                     const TStringExArray*) {
  // The thread-id switch is the console module's own: the other modules are not told.
  Toggle(TConsole::GetPrintThreadId, TConsole::SetPrintThreadId, u"Thread ID print is %s");
  return eCommandDone;
}

EDiagnosticCommandStatus TDiagnosticServer::CurrentModCommand::Execute(TDiagnosticServer& console, int,
                                                                       const TStringEx*, const TStringExArray*) {
  console.SetPrintCurrentModInModules(
      Toggle(TConsole::GetPrintCurrentMod, TConsole::SetPrintCurrentMod, u"CurrentModule print is %s"));
  return eCommandDone;
}

EDiagnosticCommandStatus TDiagnosticServer::DbgCommand::Execute(TDiagnosticServer& console, int id, const TStringEx*,
                                                                const TStringExArray* args) {
  if (args->GetCount() == 0) {
    ReplyDbgHelp(console, id);
    return eCommandDone;
  }
  TStringEx argument;
  for (std::int32_t i = 0; i < args->GetCount(); ++i) {
    argument.Append((*args)[i]);
    argument.Append(u' ');
  }
  argument.TrimRight(u' ');
  // Every module is asked, and the console's own traces too, whatever the others answered.
  std::int32_t answered = console.ParseDebugArgInModules(argument);
  answered |= TTraceRegistry::ParseDebugArg(OwnModuleName().c_str(), argument.c_str());
  if (answered != 0) return eCommandDone;
  console.ReplyLine(id, u"Invalid Debug name");
  ReplyDbgHelp(console, id);
  return eCommandFailed;
}

EDiagnosticCommandStatus TDiagnosticServer::SpecificDebugCommand::Execute(TDiagnosticServer& console, int,
                                                                          const TStringEx*,
                                                                          const TStringExArray* args) {
  console.SpecificDebugCommandInModules(*args);
  return args->GetCount() < 2 ? eCommandFailed : eCommandDone;
}
