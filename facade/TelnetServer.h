// Tolvane::Telnet::Interop::TelnetServer: how a C++ host starts the diagnostic console in one
// call, the same class a .NET host sees:
//   Tolvane::Telnet::Interop::TelnetServer::Instance().StartServer(2323);
// The class holds no state: every instance starts the one console of the process. DefaultPort is
// advice for hosts; nothing reads it.
#pragma once

#include <cstdint>

#include "facade/TolvaneConsole.h"

namespace Tolvane::Telnet::Interop {

class TelnetServer {
 public:
  static inline std::int32_t DefaultPort = 23;

  // Created on first use; not synchronised, and harmless if two threads race (no state).
  static TelnetServer& Instance() {
    if (m_server == nullptr) m_server = new TelnetServer();
    return *m_server;
  }

  TelnetServer() = default;
  virtual ~TelnetServer() = default;

  // Starts the console's telnet front end on the low 16 bits of `port`, with the default
  // settings. The console lives until the process ends.
  void StartServer(std::int32_t port) { Tolvane_TelnetServer_StartServer(port); }

 private:
  static inline TelnetServer* m_server = nullptr;
};

}  // namespace Tolvane::Telnet::Interop
