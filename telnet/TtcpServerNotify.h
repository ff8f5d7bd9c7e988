// TtcpServerNotify: what a TCP listener reports. Every operation has an empty default.
#pragma once

#include <cstdint>

#include "foundation/TStringEx.h"
#include "platform/Win32Types.h"

class CStreamChannel;

class TtcpServerNotify {
 public:
  // After OnAccept for an IPv4 client (dotted quad); the only notification for an IPv6 client
  // (numeric text). The channel is valid during the call; a receiver that keeps it takes a
  // reference of its own.
  virtual void OnConnectionText(CStreamChannel* channel, TStringEx address, std::uint16_t port) {
    (void)channel, (void)address, (void)port;
  }
  // The first notification for an IPv4 client; address and port in host byte order. The
  // receiver takes over the listener's reference to the channel.
  virtual void OnAccept(CStreamChannel* channel, platform::DWORD address, std::uint16_t port) {
    DropChannel(channel), (void)address, (void)port;
  }
  // The third notification for an IPv4 client; `value` is the listener's local port.
  virtual void OnAcceptLocal(CStreamChannel* channel, platform::DWORD address, std::uint16_t port,
                             platform::DWORD value) {
    (void)channel, (void)address, (void)port, (void)value;
  }
  // The listener has just been opened.
  virtual void OnListening(std::uint16_t port) { (void)port; }
  // Opening failed; the listener retries every five seconds and reports each failure.
  virtual void OnListenFailed(std::uint16_t port) { (void)port; }

  virtual ~TtcpServerNotify() = default;

  // What becomes of a channel nobody takes: closed and released.
  static void DropChannel(CStreamChannel* channel);
};
