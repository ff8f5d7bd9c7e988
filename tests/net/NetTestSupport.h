// Helpers of the network channel tests: a watchdog, plain client sockets, and a look at the
// process's threads.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

namespace net_testing {

// Ends a test still running after 30 s (a deadlock) with a message instead of hanging the run.
class Watchdog {
 public:
  Watchdog() = default;
  ~Watchdog() {
    m_finished.set_value();
    m_thread.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::promise<void> m_finished;
  std::thread m_thread{[done = m_finished.get_future()] {
    if (done.wait_for(std::chrono::seconds(30)) == std::future_status::ready) return;
    std::fprintf(stderr, "test still running after 30 s: deadlock\n");
    std::abort();
  }};
};

// A blocking client socket connected to 127.0.0.1:port; -1 on failure. A receive buffer size
// other than 0 is set before connecting, so the window stays small.
inline int ConnectClient(std::uint16_t port, int receiveBuffer = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer != 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline std::uint16_t LocalPortOf(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return address.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port)
                                      : ntohs(reinterpret_cast<sockaddr_in6&>(address).sin6_port);
}

// Writes all bytes; false on an error.
inline bool WriteAll(int fd, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = send(fd, bytes, length, MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads whatever is there without waiting: bytes read, 0 at the end of the stream, -1 when
// nothing is waiting.
inline ssize_t ReadNow(int fd, void* buffer, std::size_t capacity) {
  ssize_t n = recv(fd, buffer, capacity, MSG_DONTWAIT);
  return n >= 0 ? n : -1;
}

inline int ThreadCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

// The scheduler state letter of one of our threads ('S' while it sleeps in a wait).
inline char ThreadState(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() ? text[close + 2] : '?';
}

}  // namespace net_testing
