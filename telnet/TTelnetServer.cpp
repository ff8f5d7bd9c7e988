#include "telnet/TTelnetServer.h"

#include <algorithm>

#include "net/CStreamChannel.h"
#include "net/HostAddresses.h"
#include "platform/Registry.h"
#include "runtime/TGuard.h"
#include "telnet/TRegMonitor.h"
#include "telnet/TTelnetChannel.h"

namespace {

constexpr std::size_t kHistorySize = 20;
constexpr platform::DWORD kLoopback = 0x7F000001;  // 127.0.0.1

bool IsLocalAddress(platform::DWORD address) {
  if (address == kLoopback) return true;
  std::vector<platform::DWORD> local = LocalHostIPv4Addresses();
  return std::find(local.begin(), local.end(), address) != local.end();
}

}  // namespace

TTelnetServer::TTelnetServer(ITelnetServerEvents* events)
    : m_events(events),
      m_monitor(std::make_unique<TRegMonitor<TTelnetServer>>(this, &TTelnetServer::NoKeyCallback)) {}

TTelnetServer::~TTelnetServer() {
  // The monitor's thread may be applying a configuration: it ends first, so nothing restarts the
  // listener behind the stop below. Then no accept thread calls into this half-destroyed object,
  // and last no channel's receive thread.
  m_monitor.reset();
  TtcpServer::Stop();
  CloseAllChannels();
}

void TTelnetServer::NoKeyCallback(std::uint32_t cookie) { (void)cookie; }

TTelnetServerConfig TTelnetServer::GetConfig() const {
  std::lock_guard<std::mutex> hold(m_configLock);
  return m_config;
}

void TTelnetServer::SetGreeting(const TStringEx& greeting) {
  std::lock_guard<std::mutex> hold(m_configLock);
  m_greeting = greeting;
}

TStringEx TTelnetServer::GetGreeting() const {
  std::lock_guard<std::mutex> hold(m_configLock);
  return m_greeting;
}

void TTelnetServer::Configure(const TTelnetServerConfig& config) {
  {
    std::lock_guard<std::mutex> hold(m_configLock);
    m_config = config;
  }
  if (config.Enabled) Start(this, config.Port, true);
}

void TTelnetServer::ApplyConfig(const TTelnetServerConfig& config) {
  bool restart;
  {
    std::lock_guard<std::mutex> hold(m_configLock);
    restart = config.Port != m_config.Port || config.Enabled != m_config.Enabled;
    m_config = config;
  }
  if (!restart) return;
  TtcpServer::Stop();
  if (config.Enabled) Start(this, config.Port, true);
}

void TTelnetServer::MonitorRegistry(const TStringEx& basePath, int root) {
  {
    std::lock_guard<std::mutex> hold(m_configLock);
    m_registryBase = basePath;
    m_registryRoot = root;
  }
  TKeyMonitoringInfo<TTelnetServer> info;
  info.SubKey.Format(u"%s\\%s", basePath, u"Telnet");
  info.Root = platform::HKEY_LOCAL_MACHINE;
  info.NotifyFilter = platform::REG_NOTIFY_CHANGE_LAST_SET;
  info.WatchSubtree = true;
  info.Callback = &TTelnetServer::OnRegistryChanged;
  m_monitorCookie = m_monitor->AddKey(info);
}

void TTelnetServer::OnRegistryChanged() {
  TStringEx base;
  int root;
  {
    std::lock_guard<std::mutex> hold(m_configLock);
    base = m_registryBase;
    root = m_registryRoot;
  }
  TTelnetServerConfig config;
  ReadTelnetConfig(root, base, config);
  ApplyConfig(config);
}

bool TTelnetServer::Stop() {
  // Listener first: a client accepted meanwhile would outlive the closing of the channels.
  bool wasRunning = TtcpServer::Stop();
  CloseAllChannels();
  return wasRunning;
}

std::vector<TTelnetChannel*> TTelnetServer::TakeAllChannels() {
  TGuardEx hold(&m_channelLock);
  std::vector<TTelnetChannel*> channels;
  for (auto& entry : m_channels) channels.push_back(entry.second);
  m_channels.clear();
  return channels;
}

TTelnetChannel* TTelnetServer::TakeChannel(int id) {
  TGuardEx hold(&m_channelLock);
  auto found = m_channels.find(id);
  if (found == m_channels.end()) return nullptr;
  TTelnetChannel* channel = found->second;
  m_channels.erase(found);
  return channel;
}

void TTelnetServer::Retire(TTelnetChannel* channel) {
  channel->Close();
  // Once detached, no receive callback of the channel runs or will run: nothing of it calls this
  // server again, which may then be destroyed. On the channel's own receive thread (a wrong
  // password) this returns at once, and the channel lives until its callback returns.
  channel->Detach();
  channel->Release();
}

void TTelnetServer::CloseAllChannels() {
  for (TTelnetChannel* channel : TakeAllChannels()) Retire(channel);
}

void TTelnetServer::RemoveChannel(int id) {
  if (TTelnetChannel* channel = TakeChannel(id)) Retire(channel);
}

TTelnetChannel* TTelnetServer::Find(int id) {
  auto found = m_channels.find(id);
  return found == m_channels.end() ? nullptr : found->second;
}

std::vector<int> TTelnetServer::ChannelIds() {
  TGuardEx hold(&m_channelLock);
  std::vector<int> ids;
  for (const auto& entry : m_channels) ids.push_back(entry.first);
  return ids;
}

TTelnetChannel* TTelnetServer::FindLoggedIn(int id) {
  TTelnetChannel* channel = Find(id);
  return channel != nullptr && !channel->IsAwaitingPassword() ? channel : nullptr;
}

void TTelnetServer::PrintV(int id, bool lineEnd, const char16_t* format, const FormatArg* args, std::size_t count) {
  TGuardEx hold(&m_channelLock);
  if (TTelnetChannel* channel = FindLoggedIn(id)) channel->SendTextV(format, args, count, lineEnd);
}

void TTelnetServer::PrintAllV(bool lineEnd, const char16_t* format, const FormatArg* args, std::size_t count) {
  const std::string text = TTelnetChannel::WireText(format, args, count, lineEnd);
  TGuardEx hold(&m_channelLock);
  for (auto& entry : m_channels)
    if (!entry.second->IsAwaitingPassword()) entry.second->SendBytes(text);
}

void TTelnetServer::ClearScreen(int id) {
  TGuardEx hold(&m_channelLock);
  if (TTelnetChannel* channel = FindLoggedIn(id)) channel->SendString("\x1b[2J");
}

void TTelnetServer::SetInputLine(int id, const TStringEx& text) {
  TGuardEx hold(&m_channelLock);
  if (TTelnetChannel* channel = FindLoggedIn(id)) channel->SetInputLine(text);
}

void TTelnetServer::OnAccept(CStreamChannel* stream, platform::DWORD address, std::uint16_t port) {
  (void)port;
  TTelnetServerConfig config = GetConfig();
  TStringEx greeting = GetGreeting();
  if (!config.RemoteConnectionEnabled && !IsLocalAddress(address)) {
    stream->Close();
    stream->Release();
    return;
  }
  auto* channel = new TTelnetChannel(stream, this);
  channel->SetEscapeHandling(true);
  // IAC DONT ECHO, then IAC WILL ECHO and IAC WILL SGA: clients leave their local line mode, so
  // the server's echo, masking, history and completion reach the operator.
  static const char kNegotiation[] = "\xff\xfe\x01\xff\xfb\x01\xff\xfb\x03";
  channel->SendString(kNegotiation);
  channel->SendString("\x1b[40m");
  channel->SendString("\x1b[32;1m");
  channel->SendString("\x1b[2J");

  const bool ready = config.Password.IsEmpty();
  int id;
  {
    TGuardEx hold(&m_channelLock);
    id = m_nextId++;
    channel->SetId(id);
    m_channels.emplace(id, channel);
    // The greeting is text, not a format: a "%" in it is sent as it stands.
    if (!greeting.IsEmpty()) channel->SendLineText(u"%s", greeting);
    if (!ready) {
      channel->SetEchoState(eEchoMasked);
      channel->SetAwaitingPassword(true);
      channel->SendText(u"Password:");
    } else {
      channel->SetEchoState(eEchoOn);
      channel->SetAwaitingPassword(false);
      if (m_events != nullptr) m_events->OnClientReady(id);
    }
    if (channel->StartReceive()) return;
  }
  // A connection that never reads would stay in the map for good.
  RemoveChannel(id);
  if (ready && m_events != nullptr) m_events->OnClientGone(id);
}

void TTelnetServer::OnLine(int id, const TStringEx& line) {
  TGuardEx hold(&m_channelLock);
  TTelnetChannel* channel = Find(id);
  if (channel == nullptr) return;
  if (!channel->IsAwaitingPassword()) {
    if (m_events != nullptr) m_events->OnCommandLine(id, line);
    AddToHistory(line);
    return;
  }
  TStringEx password = GetConfig().Password;
  std::uint32_t length = password.Length();
  bool match = line.Length() >= length && line.Left(static_cast<int>(length)) == password;
  if (match) {
    channel->SetAwaitingPassword(false);
    channel->SetEchoState(eEchoOn);
    if (m_events != nullptr) m_events->OnClientReady(id);
    return;
  }
  channel->SendLineText(u"\r\n\r\nAccess denied\r\n");
  RemoveChannel(id);
}

void TTelnetServer::AddToHistory(const TStringEx& line) {
  if (line.IsEmpty()) return;
  m_history.push_back(line);
  m_recallIndex = -1;
  if (m_history.size() > kHistorySize) {
    m_history.erase(m_history.begin());
    m_recallIndex = 0;
  }
}

void TTelnetServer::GetPreviousCommand(int id, TStringEx& text) {
  TGuardEx hold(&m_channelLock);
  if (FindLoggedIn(id) == nullptr) return;
  --m_recallIndex;
  if (m_recallIndex < 0) m_recallIndex = static_cast<int>(m_history.size()) - 1;
  if (m_recallIndex != -1) text = m_history[static_cast<std::size_t>(m_recallIndex)];
}

void TTelnetServer::GetNextCommand(int id, TStringEx& text) {
  TGuardEx hold(&m_channelLock);
  if (FindLoggedIn(id) == nullptr) return;
  int newest = static_cast<int>(m_history.size()) - 1;
  if (m_recallIndex < newest) ++m_recallIndex;
  if (m_recallIndex != -1 && m_recallIndex <= newest) text = m_history[static_cast<std::size_t>(m_recallIndex)];
}

void TTelnetServer::OnKey(int id, const TStringEx& text) {
  if (text.Find(u'\t') < 0 || text.Length() <= 1 || m_events == nullptr) return;
  {
    TGuardEx hold(&m_channelLock);
    if (FindLoggedIn(id) == nullptr) return;
  }
  m_events->OnCompletion(id, text);
}

void TTelnetServer::OnTelnetCommand(int id, const unsigned char* bytes) {
  TGuardEx hold(&m_channelLock);
  TTelnetChannel* channel = Find(id);
  if (channel != nullptr && bytes[1] == 254 && bytes[2] == 1) channel->SetEchoState(eEchoOff);
}

void TTelnetServer::OnChannelClosed(int id) {
  if (m_events != nullptr) m_events->OnClientGone(id);
}
