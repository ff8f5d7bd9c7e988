// sysinfo: the identity, age and memory of the process, and its shared objects.
#include "console/BuiltinCommands.h"

// FIXME: not built yet; it takes its line and answers nothing.
EDiagnosticCommandStatus TDiagnosticServer::SysInfoCommand::Execute(TDiagnosticServer&, int, const TStringEx*,
                                                                    const TStringExArray*) {
  return eCommandFailed;
}
