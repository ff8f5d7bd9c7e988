// TTelnetChannel: the receive path (telnet commands, line editor, keys) and the send operations.
#include "telnet/TTelnetChannel.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "net/CStreamChannel.h"
#include "platform/TextConvert.h"
#include "telnet/ITelnetChannelEvent.h"

namespace {

constexpr std::uint8_t kIac = 255;

// A data byte whose only output is its echo (or none): printable text, backspace, CR, LF, NUL.
bool IsEchoOnlyByte(std::uint8_t byte) {
  return (byte >= 32 && byte <= 126) || byte == 8 || byte == 127 || byte == 13 || byte == 10 || byte == 0;
}
constexpr std::uint8_t kSubnegotiationBegin = 250;
constexpr std::uint8_t kSubnegotiationEnd = 240;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kDont = 254;

// A subnegotiation that has not ended after this many bytes is given up: what follows is input.
constexpr std::int32_t kMaxSubnegotiation = 1024;
// Output is converted and sent in pieces of at most this many UTF-16 units.
constexpr std::size_t kSendPiece = 1024;
// The fifth discarded line in a row ends the connection.
constexpr std::int32_t kMaxOverflows = 5;
// An escape sequence that matches none of kCompleteSequences ends at this many characters.
constexpr std::uint32_t kMaxEscapeLength = 5;

constexpr char kEraseLine[] = "\x1b[2K\r";

constexpr const char16_t* kCompleteSequences[] = {
    u">",   u"8",   u"7",   u"D",   u"E",   u"M",   u"c",   u"[A", u"[B", u"[C",  u"[D",  u"[E",
    u"[F",  u"[H",  u"[f",  u"[J",  u"[K",  u"[L",  u"[M",  u"[c", u"m",  u"[6n", u"[5n", u"[r",
};

bool IsCompleteSequence(const TStringEx& text) {
  if (text.Length() >= kMaxEscapeLength) return true;
  for (const char16_t* sequence : kCompleteSequences)
    if (text == sequence) return true;
  return false;
}

// The stream's notice after it refused output.
std::string DroppedLinesNotice(platform::DWORD dropped) {
  return "*** " + std::to_string(dropped) + " lines of output were dropped ***\r\n";
}

TStringEx Widen(const std::uint8_t* bytes, std::size_t length) {
  std::u16string wide;
  platform::AppendNarrowToUtf16(reinterpret_cast<const char*>(bytes), length, wide);
  return TStringEx(wide.c_str());
}

}  // namespace

TTelnetChannel::TTelnetChannel(CStreamChannel* stream, ITelnetChannelEvent* events)
    : m_stream(stream), m_events(events) {
  if (m_stream != nullptr) {
    m_stream->SetListener(this);
    m_stream->SetNoDelay(true);
    m_stream->SetDropNotice(&DroppedLinesNotice);
  }
}

TTelnetChannel::~TTelnetChannel() {
  if (m_stream == nullptr) return;
  // First: from here on no completion runs on this channel (one that has just started sees the
  // count at 0 and returns at once).
  m_stream->SetListener(nullptr);
  if (m_stream->IsOpen()) m_stream->Close();
  m_stream->Release();
}

void TTelnetChannel::AddRef() { m_refs.fetch_add(1, std::memory_order_relaxed); }

void TTelnetChannel::Release() {
  if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

bool TTelnetChannel::TryAddRef() {
  int refs = m_refs.load(std::memory_order_relaxed);
  while (refs > 0)
    if (m_refs.compare_exchange_weak(refs, refs + 1, std::memory_order_acquire, std::memory_order_relaxed)) return true;
  return false;
}

bool TTelnetChannel::IsClosed() const { return m_closed.load(std::memory_order_acquire); }

void TTelnetChannel::Close() {
  m_closed.store(true, std::memory_order_release);
  if (m_stream != nullptr && m_stream->IsOpen()) m_stream->Close();
}

void TTelnetChannel::Detach() {
  if (m_stream != nullptr) m_stream->SetListener(nullptr);
}

void TTelnetChannel::EndConnection() {
  if (m_closed.exchange(true, std::memory_order_acq_rel)) return;
  if (m_stream != nullptr) {
    if (m_stream->IsOpen()) m_stream->Close();
    // On the completion's own thread: returns at once.
    m_stream->SetListener(nullptr);
  }
  if (m_events != nullptr) m_events->OnChannelClosed(GetId());
}

bool TTelnetChannel::StartReceive() {
  if (m_stream == nullptr || IsClosed()) return false;
  return m_stream->Receive(m_receiveBuffer, kBufferSize);
}

void TTelnetChannel::OnChannelRx(CStreamChannel* source, platform::DWORD error, const std::uint8_t* data,
                                 platform::DWORD count) {
  (void)source;
  if (!TryAddRef()) return;
  if (!IsClosed()) {
    if (error != 0 || count == 0 || data == nullptr) {
      EndConnection();
    } else if (HandleBlock(data, count)) {
      std::int32_t overflows;
      {
        std::lock_guard<std::mutex> lock(m_lineLock);
        overflows = m_overflowCount;
      }
      if (overflows >= kMaxOverflows)
        EndConnection();
      else
        StartReceive();
    }
  }
  Release();
}

bool TTelnetChannel::HandleBlock(const std::uint8_t* data, std::size_t count) {
  {
    std::lock_guard<std::mutex> lock(m_lineLock);
    const std::int64_t pending = std::int64_t{m_pendingCount} + static_cast<std::int64_t>(count);
    m_pendingCount = static_cast<std::int32_t>(
        pending > std::numeric_limits<std::int32_t>::max() ? std::numeric_limits<std::int32_t>::max() : pending);
  }
  const bool goOn = HandleBytes(data, count);
  FlushEcho();
  return goOn;
}

bool TTelnetChannel::HandleBytes(const std::uint8_t* data, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (IsClosed()) return false;
    const std::uint8_t byte = data[i];
    const bool command = m_commandState != ECommandState::eNone || byte == kIac;
    // Whatever the byte does other than echo comes after the echo of the bytes before it.
    if (command || !IsEchoOnlyByte(byte)) FlushEcho();
    const bool goOn = command ? HandleCommandByte(byte) : HandleDataByte(byte);
    if (!goOn) return false;
  }
  return !IsClosed();
}

bool TTelnetChannel::HandleCommandByte(std::uint8_t byte) {
  if (m_commandState == ECommandState::eIac && byte == kIac) {
    // IAC IAC: the data byte 255.
    m_commandState = ECommandState::eNone;
    return HandleDataByte(byte);
  }
  if (m_commandState == ECommandState::eSubnegotiationIac && byte != kSubnegotiationEnd && byte != kIac) {
    // IAC and another verb inside a subnegotiation ends it and starts that command.
    m_commandState = ECommandState::eIac;
  }
  {
    std::lock_guard<std::mutex> lock(m_lineLock);
    AbsorbLocked();
  }
  switch (m_commandState) {
    case ECommandState::eNone:
      m_commandState = ECommandState::eIac;
      break;
    case ECommandState::eIac:
      if (byte >= kWill && byte <= kDont) {
        m_commandVerb = byte;
        m_commandState = ECommandState::eOption;
      } else if (byte == kSubnegotiationBegin) {
        m_subnegotiationLength = 0;
        m_commandState = ECommandState::eSubnegotiation;
      } else {
        // A two-byte command (or a stray SE): nothing to do.
        m_commandState = ECommandState::eNone;
      }
      break;
    case ECommandState::eOption: {
      m_commandState = ECommandState::eNone;
      const unsigned char command[4] = {kIac, m_commandVerb, byte, 0};
      if (CanReport()) m_events->OnTelnetCommand(GetId(), command);
      return !IsClosed();
    }
    case ECommandState::eSubnegotiation:
    case ECommandState::eSubnegotiationIac:
      // Inside, IAC IAC is data; IAC SE ends it.
      if (m_commandState == ECommandState::eSubnegotiationIac && byte == kSubnegotiationEnd) {
        m_commandState = ECommandState::eNone;
        break;
      }
      if (++m_subnegotiationLength >= kMaxSubnegotiation)
        m_commandState = ECommandState::eNone;
      else if (m_commandState == ECommandState::eSubnegotiation && byte == kIac)
        m_commandState = ECommandState::eSubnegotiationIac;
      else
        m_commandState = ECommandState::eSubnegotiation;
      break;
  }
  return true;
}

bool TTelnetChannel::HandleDataByte(std::uint8_t byte) {
  const bool afterCr = m_afterCr;
  m_afterCr = false;
  switch (byte) {
    case 1:
    case 251:
    case 252:
    case 253:
    case 254:
      return true;
    case 3:
      if (m_stream != nullptr && m_stream->IsOpen()) m_stream->Close();
      EndConnection();
      return false;
    case 8:
    case 127:
      HandleBackspace();
      return true;
    case 9:
      return HandleTab();
    case 10:
      return HandleLineEnd();
    case 13: {
      m_afterCr = true;
      std::lock_guard<std::mutex> lock(m_lineLock);
      AbsorbLocked();
      return true;
    }
    case 0:
      if (afterCr) return HandleLineEnd();
      break;
    default:
      break;
  }
  const bool escapes = m_escapeHandling.load(std::memory_order_relaxed);
  if (escapes && m_inEscape) return HandleEscapeByte(byte);
  if (escapes && byte == 27) {
    m_inEscape = true;
  } else if (byte >= 32 && byte <= 126) {
    HandlePrintable(byte);
    return true;
  }
  std::lock_guard<std::mutex> lock(m_lineLock);
  AbsorbLocked();
  return true;
}

bool TTelnetChannel::HandleLineEnd() {
  std::string line;
  bool complete = false;
  {
    std::lock_guard<std::mutex> lock(m_lineLock);
    if (m_lineLength < kBufferSize) {
      line.assign(reinterpret_cast<const char*>(m_line), static_cast<std::size_t>(m_lineLength));
      complete = true;
    }
    ResetLineLocked();
  }
  if (GetEchoState() != eEchoOff) Echo("\r\n", 2);
  FlushEcho();
  if (complete && CanReport()) {
    m_events->OnLine(GetId(), Widen(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
    return !IsClosed();
  }
  return true;
}

void TTelnetChannel::HandlePrintable(std::uint8_t byte) {
  {
    std::lock_guard<std::mutex> lock(m_lineLock);
    if (m_lineLength >= kBufferSize) {
      // The line is discarded, so there is no stored character to echo.
      ++m_overflowCount;
      m_pendingCount = m_lineLength = 0;
      return;
    }
    m_line[m_lineLength++] = byte;
  }
  switch (GetEchoState()) {
    case eEchoOn:
      Echo(reinterpret_cast<const char*>(&byte), 1);
      break;
    case eEchoMasked:
      Echo("*", 1);
      break;
    case eEchoOff:
      break;
  }
}

void TTelnetChannel::HandleBackspace() {
  {
    std::lock_guard<std::mutex> lock(m_lineLock);
    if (m_pendingCount >= 1) {
      if (m_lineLength < kBufferSize) {
        --m_pendingCount;
        if (m_lineLength > 0) --m_lineLength;
      } else {
        ++m_overflowCount;
        m_pendingCount = m_lineLength = 0;
      }
    }
  }
  Echo("\b \b", 3);
}

bool TTelnetChannel::HandleTab() {
  std::string line;
  {
    std::lock_guard<std::mutex> lock(m_lineLock);
    if (m_lineLength >= kBufferSize - 1) {
      // No room for the TAB and its terminator: the TAB is ignored and the line kept.
      AbsorbLocked();
      return true;
    }
    m_line[m_lineLength++] = '\t';
    line.assign(reinterpret_cast<const char*>(m_line), static_cast<std::size_t>(m_lineLength));
    // Emptied before anyone hears of the TAB: the completed line may come back at once.
    ResetLineLocked();
  }
  const TStringEx text = Widen(reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
  if (!HandleKey(text) && CanReport()) m_events->OnKey(GetId(), text);
  return !IsClosed();
}

bool TTelnetChannel::HandleEscapeByte(std::uint8_t byte) {
  {
    std::lock_guard<std::mutex> lock(m_lineLock);
    AbsorbLocked();
  }
  m_escape.Append(static_cast<char16_t>(byte));
  if (!IsCompleteSequence(m_escape)) return true;
  const TStringEx key(std::move(m_escape));
  m_escape.Free();
  m_inEscape = false;
  if (!HandleKey(key)) {
    {
      std::lock_guard<std::mutex> lock(m_lineLock);
      ResetLineLocked();
    }
    if (CanReport()) m_events->OnKey(GetId(), key);
  }
  return !IsClosed();
}

bool TTelnetChannel::HandleKey(const TStringEx& key) {
  const bool up = key == u"[A";
  if (up || key == u"[B") {
    if (!CanReport()) return false;
    TStringEx text;
    if (up)
      m_events->GetPreviousCommand(GetId(), text);
    else
      m_events->GetNextCommand(GetId(), text);
    if (text.IsEmpty()) return false;
    std::string narrow = text.ToNarrow();
    if (narrow.size() > kBufferSize - 1) narrow.resize(kBufferSize - 1);
    ReplaceLine(narrow);
    return true;
  }
  if (key == u"[C") {
    std::string redraw(kEraseLine);
    {
      std::lock_guard<std::mutex> lock(m_lineLock);
      if (m_lineLength == 0) return false;
      if (m_lineLength < kBufferSize)
        redraw.append(reinterpret_cast<const char*>(m_line), static_cast<std::size_t>(m_lineLength));
    }
    // A password being typed is redrawn as it was echoed.
    if (GetEchoState() == eEchoMasked) std::fill(redraw.begin() + (sizeof kEraseLine - 1), redraw.end(), '*');
    SendRaw(redraw.data(), redraw.size());
    return true;
  }
  if (key == u"[D") {
    SendRaw(kEraseLine, sizeof kEraseLine - 1);
    std::lock_guard<std::mutex> lock(m_lineLock);
    m_lineLength = 0;
  }
  return false;
}

void TTelnetChannel::ReplaceLine(const std::string& narrow) {
  {
    std::lock_guard<std::mutex> lock(m_lineLock);
    std::memcpy(m_line, narrow.data(), narrow.size());
    m_lineLength = static_cast<std::int32_t>(narrow.size());
  }
  const std::string redraw = kEraseLine + narrow;
  SendRaw(redraw.data(), redraw.size());
}

void TTelnetChannel::SetInputLine(const TStringEx& text) {
  std::string narrow = text.ToNarrow();
  if (narrow.size() > kBufferSize - 1) narrow.resize(kBufferSize - 1);
  ReplaceLine(narrow);
}

void TTelnetChannel::Echo(const char* bytes, std::size_t length) { m_echo.append(bytes, length); }

void TTelnetChannel::FlushEcho() {
  if (m_echo.empty()) return;
  SendRaw(m_echo.data(), m_echo.size());
  m_echo.clear();
}

bool TTelnetChannel::SendRaw(const void* data, std::size_t length) {
  if (m_stream == nullptr || IsClosed()) return false;
  if (length == 0) return true;
  platform::DWORD sent = 0;
  return m_stream->Send(data, static_cast<platform::DWORD>(length), &sent) && sent != 0;
}

bool TTelnetChannel::SendString(const char* text) {
  if (text == nullptr) return false;
  return SendRaw(text, std::strlen(text));
}

bool TTelnetChannel::SendByte(std::uint8_t byte) { return SendRaw(&byte, 1); }

bool TTelnetChannel::SendTextV(const char16_t* format, const FormatArg* args, std::size_t count, bool lineEnd) {
  return SendBytes(WireText(format, args, count, lineEnd));
}

std::string TTelnetChannel::WireText(const char16_t* format, const FormatArg* args, std::size_t count, bool lineEnd) {
  std::u16string text(512, u'\0');
  std::size_t length = FormatTo(text.data(), text.size(), format, args, count);
  if (length >= text.size()) {
    text.resize(length + 1);
    length = FormatTo(text.data(), text.size(), format, args, count);
  }
  std::string narrow;
  for (std::size_t at = 0; at < length;) {
    std::size_t piece = length - at < kSendPiece ? length - at : kSendPiece;
    // A surrogate pair stays in one piece, so that each piece converts on its own.
    const char16_t last = text[at + piece - 1];
    if (piece == kSendPiece && at + piece < length && last >= 0xD800 && last <= 0xDBFF) --piece;
    platform::AppendUtf16ToNarrow(text.data() + at, piece, narrow);
    at += piece;
  }
  if (lineEnd) narrow += "\r\n";
  return narrow;
}
