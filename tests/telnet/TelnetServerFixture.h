// A telnet server on a free loopback port with a recording events receiver, for the server tests
// and the real-client tests.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "telnet/TTelnetServer.h"
#include "tests/TcpTestClient.h"
#include "tests/TestSupport.h"

namespace testing_support {

// Records every event as one line of text: "ready 0", "line 0 help", "completion 0 he\t",
// "gone 0". Optionally removes a gone channel, as the console does.
class RecordingServerEvents : public ITelnetServerEvents {
 public:
  void OnClientReady(int id) override { Add("ready " + std::to_string(id)); }
  void OnCommandLine(int id, const TStringEx& line) override {
    Add("line " + std::to_string(id) + " " + line.ToNarrow());
  }
  void OnCompletion(int id, const TStringEx& text) override {
    Add("completion " + std::to_string(id) + " " + text.ToNarrow());
  }
  void OnClientGone(int id) override { Add("gone " + std::to_string(id)); }

  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_events;
  }
  bool Has(const std::string& event) {
    std::lock_guard<std::mutex> hold(m_lock);
    for (const std::string& e : m_events)
      if (e == event) return true;
    return false;
  }
  std::size_t Count(const std::string& prefix) {
    std::lock_guard<std::mutex> hold(m_lock);
    std::size_t n = 0;
    for (const std::string& e : m_events) n += e.compare(0, prefix.size(), prefix) == 0;
    return n;
  }

 private:
  void Add(std::string event) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_events.push_back(std::move(event));
  }
  std::mutex m_lock;
  std::vector<std::string> m_events;
};

// A server configured and listening on a free port, reporting to its own receiver or to `events`.
class TelnetServerFixture {
 public:
  explicit TelnetServerFixture(const std::string& password = "", bool remote = true,
                               RecordingServerEvents* events = nullptr)
      : m_events(events != nullptr ? *events : m_ownEvents) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      m_server = std::make_unique<TTelnetServer>(&m_events);
      TTelnetServerConfig config;
      std::uint16_t port = FreeTcpPort();
      config.SetPort(port);
      config.Password = TStringEx(password.c_str());
      config.RemoteConnectionEnabled = remote;
      m_server->Configure(config);
      if (m_server->IsListening()) {
        m_port = port;
        return;
      }
    }
  }
  ~TelnetServerFixture() { m_server.reset(); }

  TTelnetServer& Server() { return *m_server; }
  RecordingServerEvents& Events() { return m_events; }
  std::uint16_t Port() const { return m_port; }

 private:
  RecordingServerEvents m_ownEvents;
  RecordingServerEvents& m_events;
  std::unique_ptr<TTelnetServer> m_server;
  std::uint16_t m_port = 0;
};

}  // namespace testing_support
