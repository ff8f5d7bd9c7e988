// CStreamChannelServer: a listening TCP socket that hands over each accepted connection as a
// CStreamChannel.
//
// Open/Close may be repeated on one object. Accept blocks the calling thread; Close from another
// thread wakes it (Accept then fails) and waits until it has left, so the socket is never
// closed under a running Accept. Listeners set SO_REUSEADDR (a restart is not refused by old
// TIME_WAIT connections; a port held by another listener still fails) and, for "::", IPV6_V6ONLY.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Win32Types.h"

class CStreamChannel;

// The peer of an accepted connection.
struct TPeerAddress {
  bool ipv6 = false;
  platform::DWORD ipv4 = 0;  // host byte order; 0 for an IPv6 peer
  std::uint16_t port = 0;    // host byte order
  char text[66] = {};        // numeric host text: dotted quad, or IPv6 numeric form
};

class CStreamChannelServer {
 public:
  CStreamChannelServer();
  ~CStreamChannelServer();
  CStreamChannelServer(const CStreamChannelServer&) = delete;
  CStreamChannelServer& operator=(const CStreamChannelServer&) = delete;

  // Binds `address` (numeric: "0.0.0.0", "127.0.0.1", "::") and `port` and listens with the
  // largest backlog. False (and closed) when the port is taken or the address is not usable;
  // false when already open.
  bool Open(const char* address, std::uint16_t port);
  void Close();
  bool IsOpen() const;
  // The port the listener is bound to (the one asked for; the one the system chose when Open
  // was given 0), 0 when closed.
  std::uint16_t LocalPort() const;

  // Waits for the next connection. Returns a new channel holding one reference for the caller,
  // with no listener and no receive armed; null when the listener is closed (also by a Close
  // from another thread) or accept failed.
  CStreamChannel* Accept(TPeerAddress* peer);

 private:
  struct State;
  std::unique_ptr<State> m_state;
};
