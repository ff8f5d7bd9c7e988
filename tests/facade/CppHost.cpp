// A C++ host: starts the console through the facade class from several threads at once, with
// DefaultPort changed first, prints "started" and serves it until its standard input ends; then
// it returns from main with the console still running.
//   cpp_host PORT DEFAULT_PORT
#include "facade/TelnetServer.h"

#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <type_traits>
#include <vector>

using Tolvane::Telnet::Interop::TelnetServer;

// The members a .NET host sees, with the same kinds.
static_assert(std::is_same_v<decltype(TelnetServer::DefaultPort), std::int32_t>, "a mutable 32-bit field");
static_assert(!std::is_final_v<TelnetServer> && std::is_default_constructible_v<TelnetServer>);
static_assert(std::is_same_v<decltype(&TelnetServer::Instance), TelnetServer& (*)()>);
static_assert(std::is_same_v<decltype(&TelnetServer::StartServer), void (TelnetServer::*)(std::int32_t)>);

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const int port = std::atoi(argv[1]);
  if (TelnetServer::DefaultPort != 23 || &TelnetServer::Instance() != &TelnetServer::Instance()) return 3;
  TelnetServer::DefaultPort = std::atoi(argv[2]);

  // Half the threads through the singleton with the port's low 16 bits, half through instances
  // of their own with the port itself: all of them start the same console on the same port.
  constexpr int kThreads = 6;
  std::barrier together(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      together.arrive_and_wait();
      if (i % 2 == 0)
        TelnetServer::Instance().StartServer(65536 + port);
      else
        TelnetServer().StartServer(port);
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::puts("started");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  return 0;
}
