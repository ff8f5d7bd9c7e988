#include "net/CStreamChannelServer.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <fcntl.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>

#include "net/CSocketStreamChannel.h"
#include "net/SocketAddress.h"
#include "platform/Posix.h"

using platform::posix::RetryOnEintr;

struct CStreamChannelServer::State {
  // Guards everything below.
  mutable std::mutex lock;
  // Signalled when an Accept leaves and when a Close has finished.
  std::condition_variable changed;
  int listenFd = -1;
  // Readable from the start of a Close until the Accepts have left: wakes them.
  int wakeFd = -1;
  // A descriptor held in reserve: out of descriptors, Accept gives it up for a moment to take the
  // waiting connection and close it, so that it is refused instead of waiting in the backlog.
  int spareFd = -1;
  std::uint16_t port = 0;
  int accepting = 0;  // Accepts running on the listening socket
  bool closing = false;
};

namespace {

// Out of descriptors: takes the oldest waiting connection with the spare descriptor's slot and
// closes it at once. False when there was no spare to give up.
// `spareFd` is guarded by `lock`.
bool RefuseOne(std::mutex& lock, int& spareFd, int listenFd) {
  int spare;
  {
    std::lock_guard<std::mutex> guard(lock);
    spare = spareFd;
    spareFd = -1;
  }
  if (spare < 0) return false;
  close(spare);
  int refused = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (refused >= 0) close(refused);
  spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
  std::lock_guard<std::mutex> guard(lock);
  spareFd = spare;
  return true;
}

void FillPeer(const sockaddr_storage& address, TPeerAddress* peer) {
  *peer = TPeerAddress{};
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    peer->ipv4 = ntohl(v4.sin_addr.s_addr);
    peer->port = ntohs(v4.sin_port);
    if (inet_ntop(AF_INET, &v4.sin_addr, peer->text, sizeof peer->text) == nullptr) peer->text[0] = '\0';
  } else if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    peer->ipv6 = true;
    peer->port = ntohs(v6.sin6_port);
    // Numeric form with its scope ("fe80::1%eth0"); left empty when it does not fit.
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof v6, peer->text, sizeof peer->text, nullptr, 0,
                    NI_NUMERICHOST) != 0)
      peer->text[0] = '\0';
  }
}

}  // namespace

CStreamChannelServer::CStreamChannelServer() : m_state(std::make_unique<State>()) {}

CStreamChannelServer::~CStreamChannelServer() {
  Close();
  if (m_state->wakeFd >= 0) close(m_state->wakeFd);
  if (m_state->spareFd >= 0) close(m_state->spareFd);
}

bool CStreamChannelServer::Open(const char* address, std::uint16_t port) {
  State& s = *m_state;
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.listenFd >= 0 || s.closing) return false;
  if (s.wakeFd < 0) {
    s.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s.wakeFd < 0) return false;
  }
  if (s.spareFd < 0) s.spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  net_internal::SocketAddress local;
  if (!net_internal::SocketAddress::FromText(address, port, &local)) return false;
  // Non-blocking, so that an Accept woken for a connection that has gone again does not hang.
  int fd = socket(local.Family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const int on = 1;
  bool ok = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
  if (ok && local.Family() == AF_INET6) ok = setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0;
  ok = ok && bind(fd, local.Get(), local.length) == 0 && listen(fd, SOMAXCONN) == 0;
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  ok = ok && getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0;
  if (!ok) {
    close(fd);
    return false;
  }
  s.listenFd = fd;
  s.port = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(bound).sin_port
                                            : reinterpret_cast<const sockaddr_in6&>(bound).sin6_port);
  return true;
}

void CStreamChannelServer::Close() {
  State& s = *m_state;
  std::unique_lock<std::mutex> lock(s.lock);
  if (s.closing) {
    s.changed.wait(lock, [&] { return !s.closing; });
    return;
  }
  if (s.listenFd < 0) return;
  s.closing = true;
  const std::uint64_t one = 1;
  (void)!write(s.wakeFd, &one, sizeof one);
  s.changed.wait(lock, [&] { return s.accepting == 0; });
  close(s.listenFd);
  s.listenFd = -1;
  s.port = 0;
  std::uint64_t drained;
  (void)!read(s.wakeFd, &drained, sizeof drained);
  s.closing = false;
  s.changed.notify_all();
}

bool CStreamChannelServer::IsOpen() const {
  std::lock_guard<std::mutex> guard(m_state->lock);
  return m_state->listenFd >= 0 && !m_state->closing;
}

std::uint16_t CStreamChannelServer::LocalPort() const {
  std::lock_guard<std::mutex> guard(m_state->lock);
  return m_state->port;
}

CStreamChannel* CStreamChannelServer::Accept(TPeerAddress* peer) {
  if (peer != nullptr) *peer = TPeerAddress{};
  State& s = *m_state;
  int listenFd;
  int wakeFd;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.listenFd < 0 || s.closing) return nullptr;
    ++s.accepting;
    listenFd = s.listenFd;
    wakeFd = s.wakeFd;
  }
  int client = -1;
  sockaddr_storage address{};
  for (;;) {
    pollfd entries[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (RetryOnEintr([&] { return poll(entries, 2, -1); }) < 0 || entries[1].revents != 0) break;
    socklen_t length = sizeof address;
    client = accept4(listenFd, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    if (client >= 0) break;
    if ((errno == EMFILE || errno == ENFILE) && RefuseOne(s.lock, s.spareFd, listenFd)) continue;
    // Gone before we took it, or taken by another Accept: wait for the next one. Anything else
    // (out of descriptors with no spare, say) fails this Accept; the caller decides when to try
    // again.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED && errno != EPROTO) break;
  }
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (--s.accepting == 0) s.changed.notify_all();
  }
  if (client < 0) return nullptr;
  auto* channel = new (std::nothrow) CSocketStreamChannel(client);
  if (channel == nullptr) {
    close(client);
    return nullptr;
  }
  if (peer != nullptr) FillPeer(address, peer);
  return channel;
}
