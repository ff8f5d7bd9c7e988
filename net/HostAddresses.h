// The local host's own addresses, as its host name resolves.
#pragma once

#include <vector>

#include "platform/Win32Types.h"

struct THostAddressEntry {
  bool ipv6 = false;
  platform::DWORD ipv4 = 0;  // host byte order; 0 for an IPv6 entry
};

// Every address entry of the local host name, in the resolver's order (empty when the name does
// not resolve). Looked up afresh at every call.
std::vector<THostAddressEntry> LocalHostAddressEntries();
// The IPv4 addresses among them, host byte order.
std::vector<platform::DWORD> LocalHostIPv4Addresses();
