// The console over 127.0.0.1 against plain sockets: a typed `help` answered with the whole
// listing, and a module's lines printed through its console formatter to 10 clients; and a typed
// `dbg ?` answered by the trace listings of the console and of cooperating modules.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <string>
#include <thread>
#include <vector>

#include "bench/Loopback.h"
#include "console/TDiagnosticServer.h"
#include "modules/TConsole.h"

namespace {

using loopback::Connect;
using loopback::Listener;

constexpr int kPrintClients = 10;
constexpr int kPrintLines = 1000;  // per iteration: well within each connection's output buffer
const std::string kLine(80, 'x');
const std::string kListingEnd = "Syntax: closeoutput\r\n";
// The bytes a new connection receives before it may type: negotiation, colours, greeting.
constexpr std::size_t kConnectBytes = 9 + 5 + 7 + 4 + 12 + 2;

// Reads until the text received ends with `end`; returns what was read.
std::string ReadUntil(int fd, const std::string& end) {
  std::string got;
  char buffer[4096];
  while (got.size() < end.size() || got.compare(got.size() - end.size(), end.size(), end) != 0) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) std::abort();
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

// A started console listening on a free port; released at the end of the scope.
class StartedConsole {
 public:
  StartedConsole() : m_console(TDiagnosticServer::GetInstance()) {
    int probe = Listener(&m_port);
    close(probe);
    TTelnetServerConfig config;
    config.SetPort(m_port);
    m_console->Start(&config);
  }
  ~StartedConsole() { TDiagnosticServer::ReleaseInstance(); }
  TDiagnosticServer* operator->() { return m_console; }
  int Client() {
    for (int attempt = 0; attempt < 100; ++attempt) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(m_port);
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        loopback::NoDelay(fd);
        loopback::ReadExactly(fd, kConnectBytes);
        return fd;
      }
      close(fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::abort();
  }

 private:
  TDiagnosticServer* m_console;
  std::uint16_t m_port = 0;
};

void HelpLoop(benchmark::State& state, int fd) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    if (send(fd, "help\r\n", 6, MSG_NOSIGNAL) != 6) std::abort();
    bytes += ReadUntil(fd, kListingEnd).size();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_HelpRoundTrip_Ours(benchmark::State& state) {
  StartedConsole console;
  int fd = console.Client();
  HelpLoop(state, fd);
  close(fd);
}
BENCHMARK(BM_HelpRoundTrip_Ours)->UseRealTime();

void BM_HelpRoundTrip_Baseline(benchmark::State& state) {
  // The very bytes the console answers, as lines: the echo of the typed line, then the listing.
  std::vector<std::string> lines;
  {
    StartedConsole console;
    int fd = console.Client();
    send(fd, "help\r\n", 6, MSG_NOSIGNAL);
    std::string answer = ReadUntil(fd, kListingEnd);
    close(fd);
    for (std::size_t start = 0; start < answer.size();) {
      std::size_t end = answer.find("\r\n", start);
      lines.push_back(answer.substr(start, end - start));
      start = end + 2;
    }
  }
  std::uint16_t port;
  int listener = Listener(&port);
  std::thread server([listener, &lines] {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    loopback::NoDelay(fd);
    char buffer[256];
    while (recv(fd, buffer, sizeof buffer, 0) > 0) {
      for (const std::string& line : lines) {
        send(fd, line.data(), line.size(), MSG_NOSIGNAL);
        send(fd, "\r\n", 2, MSG_NOSIGNAL);
      }
    }
    close(fd);
  });
  int fd = Connect(port);
  HelpLoop(state, fd);
  close(fd);
  server.join();
  close(listener);
}
BENCHMARK(BM_HelpRoundTrip_Baseline)->UseRealTime();

#if defined(BRIDGE_MODULE_FULL)
// The console's own listing comes last; its 23 names end with "Exception" in a cell of 24.
const std::string kDbgListingEnd = "Exception" + std::string(24 - 9, ' ') + " \r\n";

void BM_DbgRoundTrip_Ours(benchmark::State& state) {
  void* full = dlopen(BRIDGE_MODULE_FULL, RTLD_NOW | RTLD_LOCAL);
  void* plain = dlopen(BRIDGE_MODULE_PLAIN, RTLD_NOW | RTLD_LOCAL);
  if (full == nullptr || plain == nullptr) {
    state.SkipWithError("the bridge test modules could not be loaded");
    return;
  }
  {
    StartedConsole console;
    int fd = console.Client();
    std::size_t bytes = 0;
    for (auto _ : state) {
      if (send(fd, "dbg ?\r\n", 7, MSG_NOSIGNAL) != 7) std::abort();
      std::string got = ReadUntil(fd, kDbgListingEnd);
      if (got.find("Available debugging in libbridge_module_full.so:") == std::string::npos) {
        state.SkipWithError("the module's listing did not arrive");
        break;
      }
      bytes += got.size();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    close(fd);
  }
  dlclose(plain);
  dlclose(full);
}
BENCHMARK(BM_DbgRoundTrip_Ours)->UseRealTime();
#endif

void PrintLoop(benchmark::State& state, const std::vector<int>& clients, void (*print)(void*), void* context) {
  for (auto _ : state) {
    loopback::Readers readers(clients, kPrintLines * (kLine.size() + 2));
    bool complete = false;
    std::thread reading([&] { complete = readers.Run(); });
    for (int i = 0; i < kPrintLines; ++i) print(context);
    reading.join();
    if (!complete) state.SkipWithError("a client did not receive every line");
  }
  state.SetItemsProcessed(state.iterations() * kPrintLines);
}

void BM_ModulePrint_Ours(benchmark::State& state) {
  StartedConsole console;
  std::vector<int> clients;
  for (int i = 0; i < kPrintClients; ++i) clients.push_back(console.Client());
  TConsole::SetConsoleListener(console.operator->());
  std::u16string line(kLine.begin(), kLine.end());
  PrintLoop(state, clients, [](void* text) { TConsole::PrintLine(u"%s", static_cast<std::u16string*>(text)->c_str()); },
            &line);
  TConsole::SetConsoleListener(nullptr);
  for (int fd : clients) close(fd);
}
BENCHMARK(BM_ModulePrint_Ours)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ModulePrint_Baseline(benchmark::State& state) {
  std::uint16_t port;
  int listener = Listener(&port);
  std::vector<int> clients, served;
  for (int i = 0; i < kPrintClients; ++i) {
    clients.push_back(Connect(port));
    served.push_back(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    loopback::NoDelay(served.back());
  }
  PrintLoop(
      state, clients,
      [](void* fds) {
        for (int fd : *static_cast<std::vector<int>*>(fds)) {
          send(fd, kLine.data(), kLine.size(), MSG_NOSIGNAL);
          send(fd, "\r\n", 2, MSG_NOSIGNAL);
        }
      },
      &served);
  for (int fd : clients) close(fd);
  for (int fd : served) close(fd);
  close(listener);
}
BENCHMARK(BM_ModulePrint_Baseline)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
