// CStreamChannel: a connected, reference-counted byte stream (one TCP connection).
//
// The operations the telnet front end needs of a connection, as an interface, so the socket
// implementation (CSocketStreamChannel) and the test doubles are interchangeable.
//
// Threads: every operation may be called from any thread. A receive completes on an I/O thread
// of the channel library, as CChannelIface::OnChannelRx of the current listener.
//
// Output never waits on the peer: a send appends to the channel's output buffer (at most
// kOutputLimit bytes waiting, allocated only while output waits) and the I/O threads write it
// out as the connection takes data. Each send's bytes reach the wire whole, in the order the
// sends were accepted, never interleaved with another send's.
//
// Lifetime: the creator holds one reference; AddRef/Release count more. An armed receive holds
// a reference of its own until its completion has been delivered, so a channel whose last
// user reference is released from inside its own completion is destroyed after it returns.
// Output waiting to be written holds one as well: Close a channel before its last Release, or
// a peer that never reads keeps it alive.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Win32Types.h"

class CChannelIface;

class CStreamChannel {
 public:
  CStreamChannel(const CStreamChannel&) = delete;
  CStreamChannel& operator=(const CStreamChannel&) = delete;

  // The most output a channel holds waiting for its peer.
  static constexpr platform::DWORD kOutputLimit = 1 << 20;
  // The line a channel sends when its output has drained after sends were refused, given the
  // number refused; "" sends nothing.
  using DropNotice = std::string (*)(platform::DWORD dropped);

  // Takes all `length` bytes for sending, or none: never blocks. True when they were taken;
  // *sent (when given) then receives `length`, else 0. A send that does not fit in what is left
  // of kOutputLimit is refused, and once one was, every later send is refused too until all
  // output taken before has gone out; then the drop notice (when set) goes out first, and sends
  // are taken again. False at once on a closed channel, or once the connection failed to take
  // data. Never raises SIGPIPE. Output still waiting at Close goes out as far as the
  // connection takes it without waiting; the rest is dropped.
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
  // Sets the notice of dropped output (null: none, the default).
  virtual void SetDropNotice(DropNotice notice) = 0;

  virtual void AddRef() = 0;
  virtual void Release() = 0;

 protected:
  CStreamChannel() = default;
  virtual ~CStreamChannel() = default;
};
