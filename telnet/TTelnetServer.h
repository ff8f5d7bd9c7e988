// TTelnetServer: the telnet front end of the console.
//
// Listens through its TtcpServer base, turns every admitted client into a TTelnetChannel with
// an id (0, 1, 2, ... never reused), greets it, asks for the password when one is set, and then
// passes each typed line to ITelnetServerEvents. Offers output operations addressing one channel
// by id or all of them, keeps one command history of 20 lines shared by all connections, and can
// watch its registry key and reconfigure itself when the key changes.
//
// Threads: the accept thread, the channels' receive threads, the console's thread (output,
// RemoveChannel, SetInputLine), the registry monitor's thread (OnRegistryChanged) and the host's
// thread (Configure, destruction). The channel lock (re-entrant) guards the channel map, every
// channel's output, the history and the recall index. Configure, ApplyConfig and Stop must not
// run at the same time (the listener's Start and Stop must not).
//
// Output never waits on a client: every print, broadcast and echo is one unit appended to the
// connection's output buffer (see CStreamChannel::Send) and written out by the I/O threads, so a
// client that stops reading never holds up the threads that print or the typed lines of others.
// A line goes out whole with its CR LF or not at all; a client that falls too far behind loses
// whole lines and is then told how many.
//
// Until a connection has given the password it receives only what the server sends by itself
// (connect bytes, greeting, "Password:", the masked echo, "Access denied"): the output
// operations skip it, and it can neither recall the history nor ask for a completion.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/Format.h"
#include "foundation/TStringEx.h"
#include "runtime/TMutex.h"
#include "telnet/ITelnetChannelEvent.h"
#include "telnet/ITelnetServerEvents.h"
#include "telnet/TTelnetServerConfig.h"
#include "telnet/TtcpServer.h"

class TTelnetChannel;
template <class T>
class TRegMonitor;

class TTelnetServer : public TtcpServer, public TtcpServerNotify, public ITelnetChannelEvent {
 public:
  // `events` (not owned) may be null: events are then dropped.
  explicit TTelnetServer(ITelnetServerEvents* events);
  ~TTelnetServer() override;

  // Takes the configuration; when enabled, starts listening on its port (retrying in the
  // background while the port is taken). A listener already running is not stopped first.
  void Configure(const TTelnetServerConfig& config);
  // Takes the configuration; restarts the listener only when the port or Enabled changed.
  // Open connections are not touched.
  void ApplyConfig(const TTelnetServerConfig& config);
  // Watches "<basePath>\Telnet" under HKEY_LOCAL_MACHINE; a change there reads the settings from
  // that key under `root` (a registry root index) and applies them. Nothing is read now.
  void MonitorRegistry(const TStringEx& basePath, int root);
  void OnRegistryChanged();
  // Stops listening, then closes every connection. True when the listener was running.
  bool Stop();
  // A copy of the configuration in force.
  TTelnetServerConfig GetConfig() const;
  // The text sent to every connection as it is accepted (default "Greetings!\n\r", then CR LF);
  // an empty greeting sends nothing. A new greeting reaches the connections accepted afterwards.
  void SetGreeting(const TStringEx& greeting);
  TStringEx GetGreeting() const;

  // Both take channels out of the map, close them, and return once no receive callback of them
  // runs any more (a callback may be waiting for the channel lock: call them without it, as
  // the console does from its own thread; a channel's own callback may remove it).
  void CloseAllChannels();
  void RemoveChannel(int id);

  // Output: formatted text, sent as the channel's SendText does. An id not in the map, or still
  // awaiting the password, does nothing; the All forms reach every other channel in id order.
  template <class... Args>
  void Print(int id, const char16_t* format, const Args&... args) {
    WithFormatArgs([&](const FormatArg* argv, std::size_t n) { PrintV(id, false, format, argv, n); }, args...);
  }
  template <class... Args>
  void PrintLine(int id, const char16_t* format, const Args&... args) {
    WithFormatArgs([&](const FormatArg* argv, std::size_t n) { PrintV(id, true, format, argv, n); }, args...);
  }
  template <class... Args>
  void PrintAll(const char16_t* format, const Args&... args) {
    WithFormatArgs([&](const FormatArg* argv, std::size_t n) { PrintAllV(false, format, argv, n); }, args...);
  }
  template <class... Args>
  void PrintLineAll(const char16_t* format, const Args&... args) {
    WithFormatArgs([&](const FormatArg* argv, std::size_t n) { PrintAllV(true, format, argv, n); }, args...);
  }
  void PrintV(int id, bool lineEnd, const char16_t* format, const FormatArg* args, std::size_t count);
  void PrintAllV(bool lineEnd, const char16_t* format, const FormatArg* args, std::size_t count);
  // Sends "\e[2J".
  void ClearScreen(int id);
  // Replaces what the connection has typed so far with `text` and shows it.
  void SetInputLine(int id, const TStringEx& text);

  // For tests and tools: the ids in the map, in order.
  std::vector<int> ChannelIds();

  // TtcpServerNotify
  void OnAccept(CStreamChannel* channel, platform::DWORD address, std::uint16_t port) override;

  // ITelnetChannelEvent
  void OnLine(int id, const TStringEx& line) override;
  void OnKey(int id, const TStringEx& text) override;
  void OnTelnetCommand(int id, const unsigned char* bytes) override;
  void OnChannelClosed(int id) override;
  void GetPreviousCommand(int id, TStringEx& text) override;
  void GetNextCommand(int id, TStringEx& text) override;

 private:
  void AddToHistory(const TStringEx& line);
  // Take channels out of the map, handing their references to the caller.
  std::vector<TTelnetChannel*> TakeAllChannels();
  TTelnetChannel* TakeChannel(int id);
  // Closes a channel taken out of the map, waits until its callbacks are over, releases it.
  static void Retire(TTelnetChannel* channel);
  TTelnetChannel* Find(int id);
  // Find, but null for a channel still awaiting the password.
  TTelnetChannel* FindLoggedIn(int id);
  void NoKeyCallback(std::uint32_t cookie);

  ITelnetServerEvents* m_events;  // not owned

  mutable std::mutex m_configLock;  // guards m_config, m_greeting, m_registryBase, m_registryRoot
  TTelnetServerConfig m_config;
  TStringEx m_greeting{u"Greetings!\n\r"};
  TStringEx m_registryBase;
  int m_registryRoot = 0;
  std::uint32_t m_monitorCookie = 0;

  TMutexEx m_channelLock;
  // Guarded by m_channelLock: the channels (one reference each), the history and the recall index.
  std::map<int, TTelnetChannel*> m_channels;
  std::vector<TStringEx> m_history;
  int m_recallIndex = 0;
  int m_nextId = 0;

  // Last member: destroyed first, so no registry callback runs into a half-destroyed server.
  std::unique_ptr<TRegMonitor<TTelnetServer>> m_monitor;
};
