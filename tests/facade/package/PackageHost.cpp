// A host built against the installed package: loads the module it is given, starts the console
// through the facade with a greeting of its own, and serves it until `stop`.
//   package_host PORT MODULE
#include <dlfcn.h>

#include <cstdlib>

#include "console/TDiagnosticServer.h"
#include "facade/TelnetServer.h"
#include "facade/TolvaneConsole.h"
#include "platform/ThreadMessages.h"
// Not used here, but a host may include it: it must compile from the installed headers alone.
#include "modules/bridge/TBackDoorsManagerImp.h"

int main(int argc, char** argv) {
  if (argc != 3 || dlopen(argv[2], RTLD_NOW | RTLD_LOCAL) == nullptr) return 2;
  const int port = std::atoi(argv[1]);
  platform::EnsureMessageQueue();
  TStringEx greeting;
  greeting.Format(u"Package host on port %d\n\r", port);
  TDiagnosticServer::GetInstance()->SetGreeting(greeting.c_str());
  Tolvane::Telnet::Interop::TelnetServer::Instance().StartServer(port);

  platform::ThreadMessage message;
  while (platform::GetMessage(&message)) platform::DispatchMessage(message);
  return 0;
}
