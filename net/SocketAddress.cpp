#include "net/SocketAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace net_internal {

bool SocketAddress::FromText(const char* text, std::uint16_t port, SocketAddress* result) {
  *result = SocketAddress{};
  if (text == nullptr) return false;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&result->storage);
  if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    result->length = sizeof(sockaddr_in);
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&result->storage);
  if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    result->length = sizeof(sockaddr_in6);
    return true;
  }
  *result = SocketAddress{};
  return false;
}

}  // namespace net_internal
