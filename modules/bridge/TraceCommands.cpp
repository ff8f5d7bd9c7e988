// The trace commands: time, threadid, currentmod, dbg, specdbgcmd.
#include "console/BuiltinCommands.h"

// FIXME: not built yet; each takes its line and answers nothing.
#define TOLVANE_UNBUILT_COMMAND(Class)                                                                  \
  EDiagnosticCommandStatus TDiagnosticServer::Class::Execute(TDiagnosticServer&, int, const TStringEx*, \
                                                             const TStringExArray*) {                   \
    return eCommandFailed;                                                                              \
  }
TOLVANE_UNBUILT_COMMAND(ThreadIDCommand)
TOLVANE_UNBUILT_COMMAND(TimeCommand)
TOLVANE_UNBUILT_COMMAND(DbgCommand)
TOLVANE_UNBUILT_COMMAND(CurrentModCommand)
TOLVANE_UNBUILT_COMMAND(SpecificDebugCommand)
#undef TOLVANE_UNBUILT_COMMAND

void TDiagnosticServer::SpecificDebugCommandInModules(const TStringExArray&) {}
