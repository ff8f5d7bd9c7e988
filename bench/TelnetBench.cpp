// The telnet front end over 127.0.0.1 against plain blocking sockets: a typed character's echo,
// and one line of output broadcast to 50 clients; and that broadcast with 20 more clients that
// never read, against the same without them.
#include <benchmark/benchmark.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/Loopback.h"
#include "telnet/TTelnetServer.h"

namespace {

constexpr int kClients = 50;
constexpr int kStoppedClients = 20;
constexpr int kLines = 10000;
const std::string kLine(80, 'x');

using loopback::Connect;
using loopback::Listener;
using loopback::ReadExactly;
using loopback::Readers;

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
