// The console's built-in commands, nested in TDiagnosticServer. Private to the console library.
// Those that reach the other modules of the process (dbg, specdbgcmd, time, threadid,
// currentmod, sysinfo) live with the module bridge, in modules/bridge.
#pragma once

#include "console/TDiagnosticServer.h"

#define TOLVANE_BUILTIN_COMMAND(Class)                                                                  \
  class TOLVANE_CONSOLE_PRIVATE TDiagnosticServer::Class : public TDiagnosticServerCommand {            \
   public:                                                                                              \
    using TDiagnosticServerCommand::TDiagnosticServerCommand;                                           \
    EDiagnosticCommandStatus Execute(TDiagnosticServer& console, int id, const TStringEx* name,         \
                                     const TStringExArray* args) override;                              \
  }

TOLVANE_BUILTIN_COMMAND(HelpCommand);
TOLVANE_BUILTIN_COMMAND(ThreadIDCommand);
TOLVANE_BUILTIN_COMMAND(TimeCommand);
TOLVANE_BUILTIN_COMMAND(ClsCommand);
TOLVANE_BUILTIN_COMMAND(StopCommand);
TOLVANE_BUILTIN_COMMAND(CrashCommand);
TOLVANE_BUILTIN_COMMAND(LoadCommand);
TOLVANE_BUILTIN_COMMAND(SaveCommandsCommand);
TOLVANE_BUILTIN_COMMAND(SysInfoCommand);
TOLVANE_BUILTIN_COMMAND(DbgCommand);
TOLVANE_BUILTIN_COMMAND(CurrentModCommand);
TOLVANE_BUILTIN_COMMAND(SpecificDebugCommand);
TOLVANE_BUILTIN_COMMAND(SaveOutputCommand);
TOLVANE_BUILTIN_COMMAND(CloseOutputCommand);

#undef TOLVANE_BUILTIN_COMMAND

// Appends the fifteen built-in commands, in lookup and help order.
void AddBuiltinCommands(TPtrList<TDiagnosticServerCommand>& commands);
