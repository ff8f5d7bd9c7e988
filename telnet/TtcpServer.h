// TtcpServer: listens on one TCP port, accepts clients on a thread of its own and hands each
// accepted connection, as a CStreamChannel, to a TtcpServerNotify.
//
// When the port cannot be opened, Start (with retry) keeps trying in the background every five
// seconds and reports every failure. Stop closes the listener(s) and ends the accept and retry
// threads before it returns: no listener is opened and no notification is sent after that.
//
// Threads: notifications for accepted clients come from the accept threads, one at a time
// (serialised by a lock of the server); OnListening and OnListenFailed come from the thread that
// called Start or from the retry thread, without that lock. Start and Stop must not run at the
// same time for one server, and not from inside a notification of that server.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "net/CStreamChannelServer.h"
#include "runtime/TCriticalSection.h"
#include "telnet/TtcpServerNotify.h"

class TtcpServer {
 public:
  TtcpServer();
  // Stops the server.
  virtual ~TtcpServer();
  TtcpServer(const TtcpServer&) = delete;
  TtcpServer& operator=(const TtcpServer&) = delete;

  // Listens on 0.0.0.0:port. With `retry`, a port that cannot be opened is retried in the
  // background (result true); without it the result is false. Port 0 gives false and changes
  // nothing. A start while running first stops the running listener, then starts anew.
  bool Start(TtcpServerNotify* notify, std::uint16_t port, bool retry);
  bool Start(TtcpServerNotify* notify, std::uint16_t port) { return Start(notify, port, false); }
  // As Start without retry, and also on "::" (IPv6 only) when the local host's address entry at
  // `addressIndex` (as its host name resolves) is an IPv6 address.
  bool StartDualStack(TtcpServerNotify* notify, std::uint16_t port, int addressIndex);
  // True when the server was running.
  bool Stop();

  bool IsRunning() const;
  // Whether a listener is open now (false while retrying).
  bool IsListening() const;

 private:
  bool StartImpl(TtcpServerNotify* notify, std::uint16_t port, bool retry, bool dualStack);
  bool OpenListeners();
  void CloseListeners();
  void StartAcceptThreads();
  // Waits up to `ms` unless Stop begins; false once the server is stopping.
  bool PauseWhileRunning(unsigned ms);

  void Run_OpenSocket();
  void Run_ListenSocket();
  void Run_ListenSocketIPv6();
  // Accepts on `listener` until Stop; an IPv6 client gets only OnConnectionText.
  void AcceptLoop(CStreamChannelServer& listener, bool ipv6);

  TCriticalSection m_lock;  // held around every notification for an accepted client
  // Guards the flags, notify, port and thread handles against Start/Stop and the retry thread.
  mutable std::mutex m_stateLock;
  std::condition_variable m_stopping;
  bool m_running = false;
  bool m_dualStack = false;
  TtcpServerNotify* m_notify = nullptr;  // not owned
  std::thread m_retryThread;
  std::thread m_acceptThread;
  std::thread m_acceptThreadIPv6;
  CStreamChannelServer m_listener;
  CStreamChannelServer m_listenerIPv6;
  std::uint16_t m_port = 0;
};
