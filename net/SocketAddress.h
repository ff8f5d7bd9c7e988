// SocketAddress: a numeric IPv4 or IPv6 address with a port, in the form the socket calls take.
// Internal to the channel library.
#pragma once

#include <sys/socket.h>

#include <cstdint>

namespace net_internal {

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  int Family() const { return storage.ss_family; }
  const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&storage); }

  // Parses a numeric address ("127.0.0.1", "::1", "::"); false for anything else.
  static bool FromText(const char* text, std::uint16_t port, SocketAddress* result);
};

}  // namespace net_internal
