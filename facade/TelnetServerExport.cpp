#include "console/TDiagnosticServer.h"
#include "facade/TolvaneConsole.h"

void Tolvane_TelnetServer_StartServer(int32_t port) {
  TTelnetServerConfig config;
  config.SetPort(static_cast<std::uint16_t>(static_cast<std::uint32_t>(port) & 0xFFFF));
  // The reference taken here is never given back: the console lives until the process ends.
  TDiagnosticServer::GetInstance()->Start(&config);
}
