#include "console/BuiltinCommands.h"

#include <cstdint>

#include "platform/ThreadMessages.h"

namespace {

// Reads a 32-bit value through a null pointer: the console thread faults inside its queued call.
// The pointer comes through a volatile so that the compiler neither sees the null nor replaces
// the read with a trap of its own.
__attribute__((no_sanitize("undefined"), noinline)) std::uint32_t ReadThroughNull() {
  static volatile std::uintptr_t null = 0;
  return *reinterpret_cast<volatile std::uint32_t*>(null);
}

}  // namespace

void AddBuiltinCommands(TPtrList<TDiagnosticServerCommand>& commands) {
  using S = TDiagnosticServer;
  auto add = [&commands](TDiagnosticServerCommand* command) { commands.emplace_back(command); };
  add(new S::HelpCommand(u"?", u"Display help for specific command", u"help | help [command]", false));
  add(new S::HelpCommand(u"help", u"Display help for specific command", u"help | help [command]", false));
  add(new S::ThreadIDCommand(u"threadid", u"Display thread ID before all debug message", u"threadid", false));
  add(new S::TimeCommand(u"time", u"Display time", u"time", false));
  add(new S::ClsCommand(u"cls", u"Erase the entire display", u"cls", false));
  add(new S::StopCommand(u"stop", u"Stop the current process", u"stop", true));
  add(new S::CrashCommand(u"crash", u"Crash the current process", u"crash", true));
  add(new S::LoadCommand(u"loadcmdfile", u"Execute console command locate in a specific file.",
                         u"loadcmdfile <complete filename>", false));
  add(new S::SaveCommandsCommand(u"savecommands",
                                 u"Save certain called commands to registry for automatic resume on service startup.",
                                 u"savecommands", false));
  add(new S::SysInfoCommand(u"sysinfo", u"Display information about the current process.", u"sysinfo", false));
  add(new S::DbgCommand(u"dbg", u"Enable and disable specific debug trace",
                        u"dbg [debugname] | dbg [debugname]-- | dbg ?", false));
  add(new S::CurrentModCommand(u"currentmod", u"Display the messages provenance module", u"currentmod", false));
  add(new S::SpecificDebugCommand(u"specdbgcmd", u"Specific commands", u"specdbgcmd module.dll{ALL} key string varia",
                                  false));
  add(new S::SaveOutputCommand(u"saveoutput", u"Save console output into a log file.",
                               u"saveoutput <complete filename>", false));
  add(new S::CloseOutputCommand(u"closeoutput", u"Close console output previously opened with saveoutput.",
                                u"closeoutput", false));
}

EDiagnosticCommandStatus TDiagnosticServer::HelpCommand::Execute(TDiagnosticServer& console, int id, const TStringEx*,
                                                                 const TStringExArray* args) {
  console.PrintHelp(id, *args);
  return eCommandDone;
}

EDiagnosticCommandStatus TDiagnosticServer::ClsCommand::Execute(TDiagnosticServer& console, int id, const TStringEx*,
                                                                const TStringExArray*) {
  console.GetTelnetServer().ClearScreen(id);
  return eCommandDone;
}

EDiagnosticCommandStatus TDiagnosticServer::StopCommand::Execute(TDiagnosticServer&, int, const TStringEx*,
                                                                 const TStringExArray*) {
  // A creator thread without a message queue, or one that has ended, gets nothing.
  platform::PostThreadMessage(GetCreatorThread(), platform::WM_QUIT, 0, 0);
  return eCommandDone;
}

EDiagnosticCommandStatus TDiagnosticServer::CrashCommand::Execute(TDiagnosticServer&, int, const TStringEx*,
                                                                  const TStringExArray*) {
  ReadThroughNull();
  return eCommandFailed;
}

EDiagnosticCommandStatus TDiagnosticServer::LoadCommand::Execute(TDiagnosticServer& console, int id, const TStringEx*,
                                                                 const TStringExArray* args) {
  if (args->GetCount() != 1) return eCommandFailed;
  console.LoadCommandFile(id, (*args)[0]);
  return eCommandDone;
}

EDiagnosticCommandStatus TDiagnosticServer::SaveCommandsCommand::Execute(TDiagnosticServer& console, int,
                                                                         const TStringEx*, const TStringExArray*) {
  console.SaveCommands();
  return eCommandDone;
}

EDiagnosticCommandStatus TDiagnosticServer::SaveOutputCommand::Execute(TDiagnosticServer& console, int id,
                                                                       const TStringEx*, const TStringExArray* args) {
  if (args->GetCount() == 2) {
    console.OpenOutputFile((*args)[0].c_str(), static_cast<eOutputFileMode>((*args)[1].ToInt(10)));
    return eCommandDone;
  }
  static const char16_t* const kUsage[] = {
      u"Invalid command format",
      u"SaveOutputToFile <FileName> <FileMode>",
      u"FileMode",
      u"    0: Replace existing file",
      u"    1: Append in file if it already exists",
      u"    2: Create a new file where the date and time will be appended to the FileName",
  };
  for (const char16_t* line : kUsage) console.ReplyLine(id, u"%s", line);
  return eCommandFailed;
}

EDiagnosticCommandStatus TDiagnosticServer::CloseOutputCommand::Execute(TDiagnosticServer& console, int,
                                                                        const TStringEx*, const TStringExArray*) {
  console.CloseOutputFile();
  return eCommandDone;
}
