// Sockets over 127.0.0.1 for the benchmarks: a listener on a free port, connected clients, exact
// reads, and one thread that drains many clients at once.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace loopback {

inline int Listener(std::uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(fd, SOMAXCONN);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

inline void NoDelay(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A client with TCP_NODELAY; a receive buffer of `receiveBuffer` bytes when it is not 0.
inline int Connect(std::uint16_t port, int receiveBuffer = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
  NoDelay(fd);
  return fd;
}

inline void ReadExactly(int fd, std::size_t count) {
  char buffer[4096];
  while (count > 0) {
    ssize_t n = recv(fd, buffer, count < sizeof buffer ? count : sizeof buffer, 0);
    if (n <= 0) std::abort();
    count -= static_cast<std::size_t>(n);
  }
}

// Drains every client socket on one thread, as fast as the data comes, until each has read
// `perClient` bytes. Run is false when the data stopped short of that for five seconds.
class Readers {
 public:
  Readers(const std::vector<int>& fds, std::size_t perClient) : m_fds(fds), m_perClient(perClient) {}
  bool Run() {
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    std::vector<std::size_t> got(m_fds.size(), 0);
    for (std::size_t i = 0; i < m_fds.size(); ++i) {
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = i;
      epoll_ctl(epoll, EPOLL_CTL_ADD, m_fds[i], &event);
    }
    std::size_t complete = 0;
    char buffer[65536];
    epoll_event events[64];
    int idle = 0;
    while (complete < m_fds.size() && idle < 5) {
      int n = epoll_wait(epoll, events, 64, 1000);
      idle = n == 0 ? idle + 1 : 0;
      for (int e = 0; e < n; ++e) {
        std::size_t i = events[e].data.u64;
        ssize_t r = recv(m_fds[i], buffer, sizeof buffer, MSG_DONTWAIT);
        if (r <= 0) continue;
        bool was = got[i] >= m_perClient;
        got[i] += static_cast<std::size_t>(r);
        if (!was && got[i] >= m_perClient) ++complete;
      }
    }
    close(epoll);
    return complete == m_fds.size();
  }

 private:
  std::vector<int> m_fds;
  std::size_t m_perClient;
};

}  // namespace loopback
