// TTelnetServerConfig: how the telnet front end behaves (listener on or off, port, password,
// remote clients, two carried limits), and the registry form of these settings.
//
// A plain value: copying copies every field, the password deeply. Not synchronised; whoever
// holds a record guards it.
#pragma once

#include <cstdint>

#include "foundation/TStringEx.h"

class TTelnetServerConfig {
 public:
  TTelnetServerConfig() = default;
  TTelnetServerConfig(const TTelnetServerConfig& other) = default;
  TTelnetServerConfig& operator=(const TTelnetServerConfig& other) = default;
  virtual ~TTelnetServerConfig() = default;

  void SetPort(const std::uint16_t& port) { Port = port; }

  // The listener is opened only when true.
  bool Enabled = true;
  std::uint16_t Port = 23;
  // When not empty, a new connection must give it before it may enter commands.
  TStringEx Password;
  // When false, only clients from this host's own addresses are admitted.
  bool RemoteConnectionEnabled = true;
  // Milliseconds. Carried and persisted; nothing acts on it.
  std::uint32_t InactivityTimeout = 300000;
  // Carried and persisted; nothing acts on it.
  std::uint32_t MaxConnectionCount = 1;
};

// Fills `config` from the key "<basePath>\Telnet" under the registry root of `rootIndex`
// (0 HKEY_CLASSES_ROOT ... 3 HKEY_LOCAL_MACHINE, 4 HKEY_USERS). The values are read in field
// order: Enabled, Port, Password, RemoteConnectionEnabled (REG_DWORD, non-zero is true, except
// Password, REG_SZ), InactivityTimeout, MaxConnectionCount. Only the low 16 bits of Port count.
// A value that cannot be read (missing value or key) takes the default of a default-constructed
// record, and that default is written back (creating the key), so afterwards the key holds every
// value. A value of another type counts as read: a flag reads as false, Port as 0, Password as
// empty, and the two limits keep what `config` held. Each value is handled on its own; registry
// failures are silent. Blocks on the registry store; call it from any thread.
void ReadTelnetConfig(int rootIndex, const TStringEx& basePath, TTelnetServerConfig& config);
