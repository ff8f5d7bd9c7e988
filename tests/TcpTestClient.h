// A plain TCP client for the tests: connects to 127.0.0.1, sends raw bytes and collects everything
// the server sends, waiting for expected text with a deadline; and a free port to listen on.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace testing_support {

// A port that was free on 0.0.0.0 a moment ago.
inline std::uint16_t FreeTcpPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

class TcpTestClient {
 public:
  // From `from` (a loopback address in host byte order) when given.
  explicit TcpTestClient(std::uint16_t port, int receiveBuffer = 0, std::uint32_t from = 0) {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(from);
    if (from != 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~TcpTestClient() { Close(); }
  TcpTestClient(const TcpTestClient&) = delete;
  TcpTestClient& operator=(const TcpTestClient&) = delete;

  bool Connected() const { return m_connected; }
  int Fd() const { return m_fd; }

  bool Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Reads what has arrived, waiting up to `waitMs` for the first bytes.
  void Pump(int waitMs) {
    pollfd entry{m_fd, POLLIN, 0};
    while (!m_peerClosed && poll(&entry, 1, waitMs) > 0) {
      char buffer[65536];
      ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) {
        m_peerClosed = true;
        return;
      }
      m_received.append(buffer, static_cast<std::size_t>(n));
      waitMs = 0;
    }
  }

  // Waits until `text` has arrived after `from` (a position in Received()).
  bool WaitForText(const std::string& text, std::size_t from = 0,
                   std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
      if (m_received.find(text, from) != std::string::npos) return true;
      if (m_peerClosed || std::chrono::steady_clock::now() >= end) return false;
      Pump(10);
    }
  }
  // Waits until the server closes the connection.
  bool WaitForClose(std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!m_peerClosed && std::chrono::steady_clock::now() < end) Pump(10);
    return m_peerClosed;
  }

  const std::string& Received() const { return m_received; }
  std::size_t Mark() const { return m_received.size(); }
  bool PeerClosed() const { return m_peerClosed; }

  void Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
  bool m_connected = false;
  bool m_peerClosed = false;
  std::string m_received;
};

// A client that connected and received `greeting`, retried for a few seconds while the server
// starts listening (or until `giveUp` says it never will); null if it never did.
inline std::unique_ptr<TcpTestClient> ConnectGreeted(std::uint16_t port, const std::string& greeting,
                                                     const std::function<bool()>& giveUp = nullptr) {
  for (int attempt = 0; attempt < 1000 && !(giveUp && giveUp()); ++attempt) {
    auto client = std::make_unique<TcpTestClient>(port);
    if (client->Connected() && client->WaitForText(greeting)) return client;
    poll(nullptr, 0, 10);
  }
  return nullptr;
}

}  // namespace testing_support
