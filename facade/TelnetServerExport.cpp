#include <mutex>

#include "console/TDiagnosticServer.h"
#include "facade/TolvaneConsole.h"

void Tolvane_TelnetServer_StartServer(int32_t port) {
  // Hosts start the console from any thread, and GetInstance is not synchronised: one start at a
  // time, or racing first calls would each build a console of their own.
  static std::mutex starting;
  std::lock_guard<std::mutex> hold(starting);
  TTelnetServerConfig config;
  config.SetPort(static_cast<std::uint16_t>(static_cast<std::uint32_t>(port) & 0xFFFF));
  // The reference taken here is never given back: the console lives until the process ends.
  TDiagnosticServer::GetInstance()->Start(&config);
}
