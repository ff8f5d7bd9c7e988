// The local host's addresses through getaddrinfo on its own host name.
#include "net/HostAddresses.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

std::vector<THostAddressEntry> LocalHostAddressEntries() {
  std::vector<THostAddressEntry> entries;
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return entries;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &list) != 0) return entries;
  for (addrinfo* at = list; at != nullptr; at = at->ai_next) {
    THostAddressEntry entry;
    if (at->ai_family == AF_INET) {
      entry.ipv4 = ntohl(reinterpret_cast<const sockaddr_in*>(at->ai_addr)->sin_addr.s_addr);
    } else if (at->ai_family == AF_INET6) {
      entry.ipv6 = true;
    } else {
      continue;
    }
    entries.push_back(entry);
  }
  freeaddrinfo(list);
  return entries;
}

std::vector<platform::DWORD> LocalHostIPv4Addresses() {
  std::vector<platform::DWORD> addresses;
  for (const THostAddressEntry& entry : LocalHostAddressEntries())
    if (!entry.ipv6) addresses.push_back(entry.ipv4);
  return addresses;
}
