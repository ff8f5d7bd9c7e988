#include "apps/diagconsole-cmd/AnswerFilter.h"

namespace diagcmd {

void AnswerFilter::Begin(const std::string& command) {
  m_command = command;
  m_line.clear();
  m_echoSeen = false;
}

void AnswerFilter::Add(const std::string& text, std::string* out) {
  for (char c : text) {
    if (c == '\n')
      EndLine(out);
    else
      m_line.push_back(c);
  }
}

void AnswerFilter::Finish(std::string* out) {
  // The echo cut short, as by a command that ends the process, is no answer.
  if (!m_echoSeen && m_command.compare(0, m_line.size(), m_line) == 0) m_line.clear();
  if (!m_line.empty()) EndLine(out);
}

void AnswerFilter::EndLine(std::string* out) {
  if (!m_echoSeen && m_line == m_command) {
    m_echoSeen = true;
  } else {
    out->append(m_line);
    out->push_back('\n');
  }
  m_line.clear();
}

}  // namespace diagcmd
