#include "apps/diagconsole-cmd/TelnetDecoder.h"

namespace diagcmd {

namespace {

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSubBegin = 250;
constexpr std::uint8_t kSubEnd = 240;
constexpr std::uint8_t kOptionEcho = 1;
constexpr std::uint8_t kOptionSuppressGoAhead = 3;

constexpr std::uint8_t kEsc = 0x1b;
constexpr std::uint8_t kBel = 0x07;

void Reply(std::string* replies, std::uint8_t verb, std::uint8_t option) {
  replies->push_back(static_cast<char>(kIac));
  replies->push_back(static_cast<char>(verb));
  replies->push_back(static_cast<char>(option));
}

}  // namespace

void TelnetDecoder::Feed(const char* data, std::size_t size, std::string* text, std::string* replies) {
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<std::uint8_t>(data[i]);
    switch (m_telnet) {
      case Telnet::kData:
        if (byte == kIac)
          m_telnet = Telnet::kIac;
        else
          Data(byte, text);
        break;
      case Telnet::kIac:
        if (byte == kIac) {
          m_telnet = Telnet::kData;
          Data(byte, text);
        } else if (byte >= kWill && byte <= kDont) {
          m_verb = byte;
          m_telnet = Telnet::kOption;
        } else {
          // A two-byte command (GA, NOP, ...), or the start of a subnegotiation.
          m_telnet = byte == kSubBegin ? Telnet::kSub : Telnet::kData;
        }
        break;
      case Telnet::kOption:
        m_telnet = Telnet::kData;
        Negotiate(m_verb, byte, replies);
        break;
      case Telnet::kSub:
        if (byte == kIac) m_telnet = Telnet::kSubIac;
        break;
      case Telnet::kSubIac:
        // IAC SE ends it; IAC IAC is a data byte inside it.
        m_telnet = byte == kSubEnd ? Telnet::kData : Telnet::kSub;
        break;
    }
  }
}

void TelnetDecoder::Negotiate(std::uint8_t verb, std::uint8_t option, std::string* replies) {
  switch (verb) {
    case kWill:
      if (option != kOptionEcho && option != kOptionSuppressGoAhead) {
        Reply(replies, kDont, option);
      } else if (!m_serverDoes[option]) {
        m_serverDoes[option] = true;
        Reply(replies, kDo, option);
      }
      break;
    case kWont:
      if (m_serverDoes[option]) {
        m_serverDoes[option] = false;
        Reply(replies, kDont, option);
      }
      break;
    case kDo:
      // We perform no option.
      Reply(replies, kWont, option);
      break;
    default:
      // DONT: what we already do not.
      break;
  }
}

void TelnetDecoder::Data(std::uint8_t byte, std::string* text) {
  switch (m_escape) {
    case Escape::kNone:
      if (byte == kEsc)
        m_escape = Escape::kStart;
      else if (byte != '\r' && byte != '\0')
        text->push_back(static_cast<char>(byte));
      return;
    case Escape::kStart:
      if (byte == '[')
        m_escape = Escape::kCsi;
      else if (byte == ']')
        m_escape = Escape::kOsc;
      else if (byte < 0x20 || byte > 0x2f)
        // An intermediate byte (as in ESC ( B) waits for the final one.
        m_escape = Escape::kNone;
      return;
    case Escape::kCsi:
      if (byte >= 0x40 && byte <= 0x7e) {
        m_escape = Escape::kNone;
      } else if (byte < 0x20 || byte > 0x7e) {
        // Not a sequence after all: the byte is text again.
        m_escape = Escape::kNone;
        Data(byte, text);
      }
      return;
    case Escape::kOsc:
      if (byte == kBel) m_escape = Escape::kNone;
      if (byte == kEsc) m_escape = Escape::kOscEnd;
      return;
    case Escape::kOscEnd:
      m_escape = byte == '\\' ? Escape::kNone : Escape::kOsc;
      return;
  }
}

}  // namespace diagcmd
