// CChannelIface: the callbacks through which a channel reports to its user.
//
// Every operation has an empty default; a user overrides what it needs (the telnet channel only
// OnChannelRx). Completions arrive on the channel library's I/O threads, one at a time per channel.
#pragma once

#include <cstdint>

#include "platform/Win32Types.h"

class CStreamChannel;

class CChannelIface {
 public:
  // A receive completed: `count` bytes at `data` (valid only during the call). An error code
  // other than 0, or a count of 0, means the connection has ended (peer closed, reset, or the
  // channel was closed locally); no further receive will complete on it.
  virtual void OnChannelRx(CStreamChannel* source, platform::DWORD error, const std::uint8_t* data,
                           platform::DWORD count) {
    (void)source, (void)error, (void)data, (void)count;
  }
  virtual void OnChannelTx(CStreamChannel* source, platform::DWORD error, const std::uint8_t* data,
                           platform::DWORD count) {
    (void)source, (void)error, (void)data, (void)count;
  }
  virtual void OnChannelOpen(CStreamChannel* source, platform::DWORD error) { (void)source, (void)error; }
  virtual void OnChannelClose(CStreamChannel* source, platform::DWORD error) { (void)source, (void)error; }
  virtual void OnError(CStreamChannel* source, platform::DWORD error, const char* what) {
    (void)source, (void)error, (void)what;
  }
  virtual ~CChannelIface() = default;
};
