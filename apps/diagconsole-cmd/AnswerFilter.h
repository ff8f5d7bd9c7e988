// AnswerFilter: one command's answer as the lines to print, without the server's echo of the
// command.
#pragma once

#include <string>

namespace diagcmd {

// Takes the plain text that arrives after a command was sent (see TelnetDecoder) and passes it
// on line by line, each with an LF end. The first line that is exactly the command is the
// server's echo of what was typed, and is left out; other lines, such as trace lines that other
// modules print meanwhile, pass whole, before or after it.
class AnswerFilter {
 public:
  // A new command was sent: its echo is awaited.
  void Begin(const std::string& command);
  // Appends the lines that `text` completes to *out.
  void Add(const std::string& text, std::string* out);
  // The answer has ended: appends the line that is still open, if any, with an LF end, unless it
  // is the start of an echo that was cut short.
  void Finish(std::string* out);
  // Whether the echo of the command has arrived.
  bool EchoSeen() const { return m_echoSeen; }

 private:
  void EndLine(std::string* out);

  std::string m_command;
  std::string m_line;
  bool m_echoSeen = false;
};

}  // namespace diagcmd
