// IConsoleExtension: an object that adds commands of its own to the console.
//
// The console calls OnClientReady, OnClientGone, GetTitle and HandleCommand, always on its own
// thread with its extension lock held; the reserved slots keep the interface's layout and are
// never called. HandleCommand serves three requests:
//   - run a line: name and arguments as typed, help 0, list 0;
//   - explain one command: the command's name, no arguments, help 1, list 0;
//   - list the commands: empty name, no arguments, help 0, list 1; append to `output` pairs of
//     entries, a command name followed by its description.
// The result is nonzero when the extension handled the request. Text an extension wants the
// operator to see it replies through the console (TDiagnosticServer::ReplyLine).
// The console never owns an extension: remove it (TDiagnosticServer::RemoveExtension) before it
// is destroyed.
#pragma once

#include <cstdint>

#include "foundation/TStringEx.h"
#include "foundation/TStringExArray.h"

class IConsoleExtension {
 public:
  virtual void Reserved0() {}
  virtual void OnClientReady(int id) { (void)id; }
  virtual void OnClientGone(int id) { (void)id; }
  virtual void Reserved3() {}
  virtual void Reserved4() {}
  virtual void Reserved5() {}
  virtual void Reserved6() {}
  // The title of the extension's command group in the help listing; may be empty.
  virtual TStringEx GetTitle() { return TStringEx(); }
  virtual std::int32_t HandleCommand(int id, const TStringEx* name, const TStringExArray* args, std::int32_t help,
                                     std::int32_t list, TStringExArray* output) = 0;

 protected:
  virtual ~IConsoleExtension() = default;
};
