// CStreamChannel: a connected, reference-counted byte stream (one TCP connection).
//
// The operations the telnet front end needs of a connection, as an interface, so the socket
// implementation (CSocketStreamChannel) and the test doubles are interchangeable.
//
// Threads: every operation may be called from any thread. Sends are serialised per channel, so
// two threads' sends never interleave inside one another on the wire; a receive completes on an
// I/O thread of the channel library, as CChannelIface::OnChannelRx of the current listener.
//
// Lifetime: the creator holds one reference; AddRef/Release count more. An armed receive holds
// a reference of its own until its completion has been delivered, so a channel whose last
// user reference is released from inside its own completion is destroyed after it returns.
#pragma once

#include <cstdint>

#include "platform/Win32Types.h"

class CChannelIface;

class CStreamChannel {
 public:
  CStreamChannel(const CStreamChannel&) = delete;
  CStreamChannel& operator=(const CStreamChannel&) = delete;

  // Sends all `length` bytes, blocking for at most the send time-out; *sent (when given) receives
  // the bytes the connection took. True only when all of them went out. Never raises SIGPIPE.
  // After a send timed out, later sends fail at once, without waiting, while the connection
  // still cannot take data; once it can, sends go out again.
  virtual bool Send(const void* data, platform::DWORD length, platform::DWORD* sent) = 0;
  // Starts one asynchronous receive of up to `capacity` bytes into `buffer`, which must stay
  // valid until the completion. False when the channel is closed or a receive is already armed.
  virtual bool Receive(void* buffer, platform::DWORD capacity) = 0;
  virtual bool IsOpen() const = 0;
  // Ends the connection: later sends and receives fail; an armed receive completes with count 0,
  // and its buffer is not written once Close has returned. Idempotent.
  virtual void Close() = 0;
  // Routes completions to `listener` (null: to nobody). When it returns on a thread other than
  // the one running a completion of this channel, no completion of the old listener is running
  // or will run; called from inside a completion, it returns at once.
  virtual void SetListener(CChannelIface* listener) = 0;
  virtual bool SetNoDelay(bool on) = 0;
  // The time a send may block, in milliseconds (0: without limit).
  virtual bool SetSendTimeout(platform::DWORD timeoutMs) = 0;

  virtual void AddRef() = 0;
  virtual void Release() = 0;

 protected:
  CStreamChannel() = default;
  virtual ~CStreamChannel() = default;
};
