// The telnet front end over 127.0.0.1 against plain blocking sockets: a typed character's echo,
// and one line of output broadcast to 50 clients; and that broadcast with 20 more clients that
// never read, against the same without them.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "telnet/TTelnetServer.h"

namespace {

constexpr int kClients = 50;
constexpr int kStoppedClients = 20;
constexpr int kLines = 10000;
const std::string kLine(80, 'x');

int Listener(std::uint16_t* port) {
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

int Connect(std::uint16_t port, int receiveBuffer = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

void ReadExactly(int fd, std::size_t count) {
  char buffer[4096];
  while (count > 0) {
    ssize_t n = recv(fd, buffer, count < sizeof buffer ? count : sizeof buffer, 0);
    if (n <= 0) std::abort();
    count -= static_cast<std::size_t>(n);
  }
}

// A telnet server with no password on a free port (the port is found by binding it first).
std::unique_ptr<TTelnetServer> StartServer(std::uint16_t* port) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    int probe = Listener(port);
    close(probe);
    auto server = std::make_unique<TTelnetServer>(nullptr);
    TTelnetServerConfig config;
    config.SetPort(*port);
    server->Configure(config);
    if (server->IsListening()) return server;
  }
  std::abort();
}

// The bytes a new connection receives before it may type: negotiation, colours, greeting.
constexpr std::size_t kConnectBytes = 9 + 5 + 7 + 4 + 12 + 2;

void EchoLoop(benchmark::State& state, int fd) {
  char byte = 'a';
  int typed = 0;
  for (auto _ : state) {
    if (send(fd, &byte, 1, MSG_NOSIGNAL) != 1) std::abort();
    ReadExactly(fd, 1);
    // End the line before it fills, as a typist would.
    if (++typed == 500) {
      typed = 0;
      send(fd, "\n", 1, MSG_NOSIGNAL);
      ReadExactly(fd, 2);
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Echo_Ours(benchmark::State& state) {
  std::uint16_t port;
  auto server = StartServer(&port);
  int fd = Connect(port);
  ReadExactly(fd, kConnectBytes);
  EchoLoop(state, fd);
  close(fd);
  server->Stop();
}
BENCHMARK(BM_Echo_Ours)->UseRealTime();

void BM_Echo_Baseline(benchmark::State& state) {
  std::uint16_t port;
  int listener = Listener(&port);
  std::thread echo([listener] {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char byte;
    while (recv(fd, &byte, 1, 0) == 1) {
      if (byte == '\n') {
        send(fd, "\r\n", 2, MSG_NOSIGNAL);
      } else {
        send(fd, &byte, 1, MSG_NOSIGNAL);
      }
    }
    close(fd);
  });
  int fd = Connect(port);
  EchoLoop(state, fd);
  close(fd);
  echo.join();
  close(listener);
}
BENCHMARK(BM_Echo_Baseline)->UseRealTime();

// Drains every client socket on one thread, as fast as the data comes, until each has read
// `perClient` bytes.
class Readers {
 public:
  Readers(const std::vector<int>& fds, std::size_t perClient) : m_fds(fds), m_perClient(perClient) {}
  // False when the data stopped short of the goal for five seconds (output was skipped).
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

// kLines lines to kClients reading clients, with `stopped` more clients that read nothing.
void BroadcastToClients(benchmark::State& state, int stopped) {
  std::uint16_t port;
  auto server = StartServer(&port);
  std::vector<int> clients, idle;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(Connect(port));
    ReadExactly(clients.back(), kConnectBytes);
  }
  for (int i = 0; i < stopped; ++i) idle.push_back(Connect(port, 4096));
  std::u16string line(kLine.begin(), kLine.end());
  auto broadcast = [&] {
    Readers readers(clients, kLines * (kLine.size() + 2));
    bool complete = false;
    std::thread reading([&] { complete = readers.Run(); });
    for (int i = 0; i < kLines; ++i) server->PrintLineAll(u"%s", line.c_str());
    reading.join();
    return complete;
  };
  // Rounds first, not timed, until a stopped client's buffers are full (the output buffer and
  // up to 4 MiB in the kernel, about 6 rounds): from then on its output is refused at once.
  bool complete = true;
  for (int round = 0; complete && round < (stopped > 0 ? 8 : 1); ++round) complete = broadcast();
  for (auto _ : state) complete = complete && broadcast();
  if (!complete) state.SkipWithError("a client did not receive every line");
  state.SetItemsProcessed(state.iterations() * kLines * kClients);
  for (int fd : clients) close(fd);
  for (int fd : idle) close(fd);
  server->Stop();
}

void BM_Broadcast_Ours(benchmark::State& state) { BroadcastToClients(state, 0); }
BENCHMARK(BM_Broadcast_Ours)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_BroadcastStalled_Ours(benchmark::State& state) { BroadcastToClients(state, kStoppedClients); }
BENCHMARK(BM_BroadcastStalled_Ours)->UseRealTime()->Unit(benchmark::kMillisecond);

// The same broadcast without the stopped clients.
void BM_BroadcastStalled_Baseline(benchmark::State& state) { BroadcastToClients(state, 0); }
BENCHMARK(BM_BroadcastStalled_Baseline)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Broadcast_Baseline(benchmark::State& state) {
  std::uint16_t port;
  int listener = Listener(&port);
  std::vector<int> clients, served;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(Connect(port));
    served.push_back(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    int on = 1;
    setsockopt(served.back(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  for (auto _ : state) {
    Readers readers(clients, kLines * (kLine.size() + 2));
    bool complete = false;
    std::thread reading([&] { complete = readers.Run(); });
    for (int i = 0; i < kLines; ++i)
      for (int fd : served) {
        send(fd, kLine.data(), kLine.size(), MSG_NOSIGNAL);
        send(fd, "\r", 1, MSG_NOSIGNAL);
        send(fd, "\n", 1, MSG_NOSIGNAL);
      }
    reading.join();
    if (!complete) state.SkipWithError("a client did not receive every line");
  }
  state.SetItemsProcessed(state.iterations() * kLines * kClients);
  for (int fd : clients) close(fd);
  for (int fd : served) close(fd);
  close(listener);
}
BENCHMARK(BM_Broadcast_Baseline)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
