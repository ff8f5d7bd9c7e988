// TTelnetChannel: one telnet client connection: receives the client's bytes, echoes and edits
// the line being typed, and sends console output.
//
// Output: every send (a line with its CR LF, an echo, a redrawn line) is one unit that the
// stream takes whole or refuses whole, so output from several threads never mixes inside a unit
// and a client that reads too slowly loses whole units, never parts of one. When the stream has
// drained after refusing some, the client reads "*** N lines of output were dropped ***".
//
// Threads: OnChannelRx runs on the channel library's I/O thread, one block at a time (the next
// receive is started only after a block is handled). The server's output (SendText and friends,
// SetInputLine, the echo-state and password setters) may come from other threads at the same
// time; the channel keeps its line state consistent without holding any lock of its own while
// it calls ITelnetChannelEvent or sends.
//
// Input: telnet commands are taken apart as telnet defines them (IAC IAC is the data byte 255,
// two-byte commands and subnegotiations are dropped, WILL/WONT/DO/DONT with their option go to
// OnTelnetCommand) and never touch the line being typed. LF and CR NUL end a line; DEL erases
// like backspace; Ctrl-C hangs up.
//
// Lifetime: reference-counted. The creator holds one reference. A completion in progress holds
// another, so a server that removes the channel from inside OnLine (Close, then Release) leaves
// it alive until the completion returns. Close ends the connection at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "foundation/Format.h"
#include "foundation/TStringEx.h"
#include "net/CChannelIface.h"

class CStreamChannel;
class ITelnetChannelEvent;

enum EEchoState { eEchoOff = 1, eEchoOn = 2, eEchoMasked = 3 };

class TTelnetChannel : public CChannelIface {
 public:
  // Takes over the caller's reference to `stream` (may be null); becomes its listener and
  // switches no-delay on. `events` may be null.
  TTelnetChannel(CStreamChannel* stream, ITelnetChannelEvent* events);
  TTelnetChannel(const TTelnetChannel&) = delete;
  TTelnetChannel& operator=(const TTelnetChannel&) = delete;

  void AddRef();
  void Release();

  void OnChannelRx(CStreamChannel* source, platform::DWORD error, const std::uint8_t* data,
                   platform::DWORD count) override;

  // Formats the text, converts it to the wire's 8-bit text in pieces of at most 1024 characters
  // and sends it as one unit: the connection takes all of it or none. True when it was taken.
  template <class... Args>
  bool SendText(const char16_t* format, const Args&... args) {
    return WithFormatArgs([&](const FormatArg* argv, std::size_t count) { return SendTextV(format, argv, count); },
                          args...);
  }
  // SendText with CR LF after the text, in the same unit.
  template <class... Args>
  bool SendLineText(const char16_t* format, const Args&... args) {
    return WithFormatArgs(
        [&](const FormatArg* argv, std::size_t count) { return SendTextV(format, argv, count, true); }, args...);
  }
  bool SendTextV(const char16_t* format, const FormatArg* args, std::size_t count, bool lineEnd = false);
  // The bytes SendTextV sends, for sending one text to many channels.
  static std::string WireText(const char16_t* format, const FormatArg* args, std::size_t count, bool lineEnd);
  // Plain sends of 8-bit bytes, each one unit.
  bool SendBytes(const std::string& bytes) { return SendRaw(bytes.data(), bytes.size()); }
  bool SendString(const char* text);
  bool SendByte(std::uint8_t byte);

  // Replaces the line typed so far: sends "\e[2K\r", makes `text` (8-bit, cut to 1023
  // characters) the line and sends it.
  void SetInputLine(const TStringEx& text);

  // Arms the next receive. False when there is no open stream.
  bool StartReceive();
  // Ends the connection: closes the stream; no OnChannelClosed is sent for it, later completions
  // do nothing and later sends fail. The stream's listener is cleared at destruction, not here:
  // clearing it waits for a running completion, which may be waiting for a lock of the caller.
  void Close();
  // Returns once no completion of this channel is running and none will start, so no further
  // ITelnetChannelEvent call comes from it. The caller must not hold a lock those events take;
  // called from the channel's own completion, it returns at once.
  void Detach();

  void SetId(int id) { m_id.store(id, std::memory_order_relaxed); }
  int GetId() const { return m_id.load(std::memory_order_relaxed); }
  void SetEscapeHandling(bool on) { m_escapeHandling.store(on, std::memory_order_relaxed); }
  void SetAwaitingPassword(bool on) { m_awaitingPassword.store(on, std::memory_order_relaxed); }
  bool IsAwaitingPassword() const { return m_awaitingPassword.load(std::memory_order_relaxed); }
  void SetEchoState(EEchoState state) { m_echoState.store(state, std::memory_order_relaxed); }
  EEchoState GetEchoState() const { return m_echoState.load(std::memory_order_relaxed); }
  bool IsClosed() const;

 protected:
  // Releases the stream. Only Release destroys a channel.
  ~TTelnetChannel() override;

 private:
  static constexpr std::int32_t kBufferSize = 1024;

  // Where the telnet command parser stands; only the receive path touches it.
  enum class ECommandState : std::uint8_t { eNone, eIac, eOption, eSubnegotiation, eSubnegotiationIac };

  // AddRef unless the count already fell to 0 (the channel is being destroyed).
  bool TryAddRef();
  // Handles one received block; false when the connection ended or was closed on the way.
  bool HandleBlock(const std::uint8_t* data, std::size_t count);
  bool HandleCommandByte(std::uint8_t byte);
  bool HandleDataByte(std::uint8_t byte);
  bool HandleLineEnd();
  void HandlePrintable(std::uint8_t byte);
  void HandleBackspace();
  bool HandleTab();
  bool HandleEscapeByte(std::uint8_t byte);
  // The key handler: true when it took the key.
  bool HandleKey(const TStringEx& key);
  // Makes `narrow` (at most kBufferSize - 1 bytes) the line and redraws it.
  void ReplaceLine(const std::string& narrow);
  // Counts one byte as ignored or absorbed (under m_lineLock).
  void AbsorbLocked() {
    if (m_pendingCount > 0) --m_pendingCount;
  }
  // Empties the line and its counts (under m_lineLock).
  void ResetLineLocked() { m_overflowCount = m_pendingCount = m_lineLength = 0; }
  // Peer closed, receive error, Ctrl-C or too many overflows: once only, on the receive path.
  void EndConnection();
  // The bytes of one block, after the pending count took them in.
  bool HandleBytes(const std::uint8_t* data, std::size_t count);
  // The echo of a block goes out in one piece, at its end or before anything else the block
  // does, so that output of other threads cannot land inside the echo of a line sent whole.
  void Echo(const char* bytes, std::size_t length);
  void FlushEcho();
  bool SendRaw(const void* data, std::size_t length);
  bool CanReport() const { return m_events != nullptr && !m_closed.load(std::memory_order_acquire); }

  std::atomic<int> m_refs{1};
  std::atomic<int> m_id{0};
  std::atomic<bool> m_escapeHandling{false};
  std::atomic<bool> m_awaitingPassword{false};
  std::atomic<EEchoState> m_echoState{eEchoOn};
  // Set once, by Close or by the end of the connection; OnChannelClosed goes with the latter only.
  std::atomic<bool> m_closed{false};

  // Kept until destruction, so that senders on other threads never see it vanish.
  CStreamChannel* const m_stream;
  ITelnetChannelEvent* const m_events;

  // Target of every receive; the stream writes it, the receive path reads it.
  std::uint8_t m_receiveBuffer[kBufferSize];

  // Guards the line and its counts: the receive path edits them, SetInputLine replaces them. Never
  // held while sending or calling m_events.
  std::mutex m_lineLock;
  std::uint8_t m_line[kBufferSize];
  std::int32_t m_lineLength = 0;
  std::int32_t m_overflowCount = 0;
  std::int32_t m_pendingCount = 0;

  // Receive path only (one block at a time, so no lock).
  TStringEx m_escape;
  bool m_inEscape = false;
  bool m_afterCr = false;
  std::string m_echo;
  ECommandState m_commandState = ECommandState::eNone;
  std::uint8_t m_commandVerb = 0;
  std::int32_t m_subnegotiationLength = 0;
};
