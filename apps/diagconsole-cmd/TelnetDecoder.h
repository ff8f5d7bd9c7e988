// TelnetDecoder: the bytes a telnet server sends, made plain text, with the answers its option
// requests are owed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace diagcmd {

// Decodes one connection's byte stream, piece by piece: a telnet command or an escape sequence
// may be split anywhere between two Feed calls.
//
// Telnet commands are taken out of the text. The server may echo (ECHO) and suppress go-ahead
// (SGA); every other option that it offers or asks of us is refused. An offer is answered only
// when it changes what we agreed to, so that the two sides never answer each other in a loop.
// IAC IAC is the data byte 255; subnegotiations are skipped whole.
//
// In the data, ANSI escape sequences (CSI sequences such as colours and screen clears, OSC
// sequences, and two- or three-character escapes), CR and NUL are dropped. LF ends a line.
class TelnetDecoder {
 public:
  // Appends the text found in `data` to *text, and the bytes to send back to *replies.
  void Feed(const char* data, std::size_t size, std::string* text, std::string* replies);

 private:
  enum class Telnet { kData, kIac, kOption, kSub, kSubIac };
  enum class Escape { kNone, kStart, kCsi, kOsc, kOscEnd };

  void Negotiate(std::uint8_t verb, std::uint8_t option, std::string* replies);
  void Data(std::uint8_t byte, std::string* text);

  Telnet m_telnet = Telnet::kData;
  Escape m_escape = Escape::kNone;
  std::uint8_t m_verb = 0;
  std::array<bool, 256> m_serverDoes{};  // the options the server performs, by our consent
};

}  // namespace diagcmd
