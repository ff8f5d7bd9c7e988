// Connected stream channels made outside a listener: by connecting to a numeric address, or by
// wrapping a socket that is connected already. Each returns a channel holding one reference for
// the caller, with no listener and no receive armed, or null on failure.
#pragma once

#include <cstdint>

class CStreamChannel;

// Connects to `address` (numeric IPv4 or IPv6) and `port`, blocking until connected or refused.
CStreamChannel* ConnectStreamChannel(const char* address, std::uint16_t port);

// Takes ownership of `fd`, a connected stream socket; it is closed with the channel (also when
// the call fails). The socket may be blocking or not: the channel never blocks in it.
CStreamChannel* AdoptStreamChannel(int fd);
