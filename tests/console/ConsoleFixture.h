// A console started in the test process on a free loopback port, with a private registry store
// and settings block, released again at the end of the test; and telnet clients for it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "console/TDiagnosticServer.h"
#include "tests/TcpTestClient.h"
#include "tests/TestSupport.h"

namespace testing_support {

class ConsoleFixture {
 public:
  struct Options {
    std::string password;
    // Runs in the test's environment before the console is made (settings read at construction).
    std::function<void()> prepare;
    // Runs on the new console before it is started (a registry location, say).
    std::function<void(TDiagnosticServer&)> beforeStart;
  };

  explicit ConsoleFixture(const Options& options = Options()) {
    // A test that makes several consoles in turn keeps one environment around all of them.
    if (std::getenv("TOLVANE_REGISTRY") == nullptr) m_environment = std::make_unique<ActiveObjectEnvironment>();
    if (options.prepare) options.prepare();
    m_console = TDiagnosticServer::GetInstance();
    if (options.beforeStart) options.beforeStart(*m_console);
    TTelnetServerConfig config;
    m_port = FreeTcpPort();
    config.SetPort(m_port);
    config.Password = TStringEx(options.password.c_str());
    m_console->Start(&config);
  }
  ~ConsoleFixture() { TDiagnosticServer::ReleaseInstance(); }
  ConsoleFixture(const ConsoleFixture&) = delete;
  ConsoleFixture& operator=(const ConsoleFixture&) = delete;

  TDiagnosticServer& Console() { return *m_console; }
  std::uint16_t Port() const { return m_port; }

  // A client that has been greeted; with no password it may type at once.
  std::unique_ptr<TcpTestClient> Connect() { return testing_support::ConnectGreeted(m_port, "Greetings!\n\r\r\n"); }

  // Types a line and waits for `answer` after it.
  static bool Type(TcpTestClient& client, const std::string& line, const std::string& answer) {
    std::size_t mark = client.Mark();
    return client.Send(line + "\r\n") && client.WaitForText(answer, mark);
  }

 private:
  std::unique_ptr<ActiveObjectEnvironment> m_environment;
  TDiagnosticServer* m_console = nullptr;
  std::uint16_t m_port = 0;
};

// The text of a UTF-16 little-endian file, byte order mark and all, as 8-bit text (ASCII only).
inline std::string ReadUtf16File(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "<missing>";
  std::string text;
  for (int low, high; (low = std::fgetc(file)) != EOF && (high = std::fgetc(file)) != EOF;)
    text.push_back(low == 0xFF && high == 0xFE ? '~' : static_cast<char>(low | (high << 8)));
  std::fclose(file);
  return text;
}

}  // namespace testing_support
