#include "telnet/TtcpServer.h"

#include "net/CStreamChannel.h"
#include "net/HostAddresses.h"
#include "platform/Thread.h"
#include "runtime/TGuard.h"

namespace {

constexpr unsigned kRetryPauseMs = 5000;
constexpr unsigned kAcceptErrorPauseMs = 100;

}  // namespace

void TtcpServerNotify::DropChannel(CStreamChannel* channel) {
  if (channel == nullptr) return;
  channel->Close();
  channel->Release();
}

TtcpServer::TtcpServer() = default;

TtcpServer::~TtcpServer() { Stop(); }

bool TtcpServer::Start(TtcpServerNotify* notify, std::uint16_t port, bool retry) {
  return StartImpl(notify, port, retry, false);
}

bool TtcpServer::StartDualStack(TtcpServerNotify* notify, std::uint16_t port, int addressIndex) {
  std::vector<THostAddressEntry> entries = LocalHostAddressEntries();
  bool ipv6 = addressIndex >= 0 && static_cast<std::size_t>(addressIndex) < entries.size() &&
              entries[static_cast<std::size_t>(addressIndex)].ipv6;
  return StartImpl(notify, port, false, ipv6);
}

bool TtcpServer::StartImpl(TtcpServerNotify* notify, std::uint16_t port, bool retry, bool dualStack) {
  if (port == 0) return false;
  // Two accept threads on one listener would each take clients: a start while running begins
  // from a stopped server.
  Stop();
  bool opened;
  {
    std::lock_guard<std::mutex> hold(m_stateLock);
    m_port = port;
    m_notify = notify;
    m_dualStack = dualStack;
    opened = OpenListeners();
    if (!opened) {
      CloseListeners();
      if (!retry) {
        m_notify = nullptr;
        return false;
      }
    }
    m_running = true;
  }
  if (opened) {
    if (notify != nullptr) notify->OnListening(port);
    std::lock_guard<std::mutex> hold(m_stateLock);
    if (m_running) StartAcceptThreads();
  } else {
    if (notify != nullptr) notify->OnListenFailed(port);
    std::lock_guard<std::mutex> hold(m_stateLock);
    if (m_running) m_retryThread = platform::StartThread("TtcpServer::Run_OpenSocket", [this] { Run_OpenSocket(); });
  }
  return true;
}

bool TtcpServer::Stop() {
  std::thread accept, acceptIPv6, retry;
  {
    std::lock_guard<std::mutex> hold(m_stateLock);
    if (!m_running) return false;
    m_running = false;
    CloseListeners();
    accept = std::move(m_acceptThread);
    acceptIPv6 = std::move(m_acceptThreadIPv6);
    retry = std::move(m_retryThread);
  }
  m_stopping.notify_all();
  // The threads see the closed listeners or the stop at once: they are joined, not abandoned, so
  // none of them outlives the server.
  for (std::thread* thread : {&accept, &acceptIPv6, &retry}) {
    if (!thread->joinable()) continue;
    if (thread->get_id() == std::this_thread::get_id())
      thread->detach();
    else
      thread->join();
  }
  std::lock_guard<std::mutex> hold(m_stateLock);
  m_notify = nullptr;
  m_dualStack = false;
  return true;
}

bool TtcpServer::IsRunning() const {
  std::lock_guard<std::mutex> hold(m_stateLock);
  return m_running;
}

bool TtcpServer::IsListening() const { return m_listener.IsOpen(); }

bool TtcpServer::OpenListeners() {
  if (!m_listener.Open("0.0.0.0", m_port)) return false;
  if (m_dualStack && !m_listenerIPv6.Open("::", m_port)) return false;
  return true;
}

void TtcpServer::CloseListeners() {
  m_listener.Close();
  m_listenerIPv6.Close();
}

void TtcpServer::StartAcceptThreads() {
  m_acceptThread = platform::StartThread("TtcpServer::Run_ListenSocket", [this] { Run_ListenSocket(); });
  if (m_dualStack)
    m_acceptThreadIPv6 = platform::StartThread("TtcpServer::Run_ListenSocketIPv6", [this] { Run_ListenSocketIPv6(); });
}

bool TtcpServer::PauseWhileRunning(unsigned ms) {
  std::unique_lock<std::mutex> hold(m_stateLock);
  m_stopping.wait_for(hold, std::chrono::milliseconds(ms), [this] { return !m_running; });
  return m_running;
}

void TtcpServer::Run_OpenSocket() {
  for (;;) {
    if (!PauseWhileRunning(kRetryPauseMs)) return;
    TtcpServerNotify* notify;
    std::uint16_t port;
    bool opened;
    {
      // Opening under the state lock: a Stop that has begun is seen here, and a Stop that begins
      // later closes what was opened.
      std::lock_guard<std::mutex> hold(m_stateLock);
      if (!m_running) return;
      notify = m_notify;
      port = m_port;
      opened = OpenListeners();
      if (!opened) CloseListeners();
    }
    if (opened) {
      if (notify != nullptr) notify->OnListening(port);
      std::lock_guard<std::mutex> hold(m_stateLock);
      if (m_running) StartAcceptThreads();
      return;
    }
    if (notify != nullptr) notify->OnListenFailed(port);
  }
}

void TtcpServer::Run_ListenSocket() { AcceptLoop(m_listener, false); }

void TtcpServer::Run_ListenSocketIPv6() { AcceptLoop(m_listenerIPv6, true); }

void TtcpServer::AcceptLoop(CStreamChannelServer& listener, bool ipv6) {
  for (;;) {
    TPeerAddress peer;
    CStreamChannel* channel = listener.Accept(&peer);
    if (channel == nullptr) {
      if (!PauseWhileRunning(kAcceptErrorPauseMs)) return;
      continue;
    }
    TGuard hold(&m_lock);
    TtcpServerNotify* notify;
    {
      std::lock_guard<std::mutex> state(m_stateLock);
      notify = m_running ? m_notify : nullptr;
    }
    if (notify == nullptr || (ipv6 && peer.text[0] == '\0')) {
      TtcpServerNotify::DropChannel(channel);
      continue;
    }
    // Our own reference keeps the channel valid through every notification, whatever the
    // receiver of OnAccept (which takes the accepted reference) did with it.
    channel->AddRef();
    if (ipv6) {
      notify->OnConnectionText(channel, TStringEx(peer.text), peer.port);
      // No OnAccept takes the accepted reference of an IPv6 client.
      channel->Release();
    } else {
      notify->OnAccept(channel, peer.ipv4, peer.port);
      notify->OnConnectionText(channel, TStringEx(peer.text), peer.port);
      notify->OnAcceptLocal(channel, peer.ipv4, peer.port, listener.LocalPort());
    }
    channel->Release();
  }
}
