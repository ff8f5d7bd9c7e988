// Real telnet clients against the server: Debian's inetutils telnet and BusyBox telnet, driven
// through expect; and PuTTY's opening negotiation replayed on a plain socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

#include "telnet/TTelnetServer.h"
#include "tests/TestSupport.h"
#include "tests/telnet/TelnetServerFixture.h"
#include "tests/TcpTestClient.h"

using testing_support::ActiveObjectEnvironment;
using testing_support::RunChild;
using testing_support::TelnetServerFixture;
using testing_support::TcpTestClient;
using testing_support::WaitFor;

namespace {

// Answers the console's part: "READY" when a connection may type, "got <line>" for every line.
class AnsweringEvents : public testing_support::RecordingServerEvents {
 public:
  void OnClientReady(int id) override {
    RecordingServerEvents::OnClientReady(id);
    if (TTelnetServer* to = server) to->PrintLine(id, u"READY");
  }
  void OnCommandLine(int id, const TStringEx& line) override {
    RecordingServerEvents::OnCommandLine(id, line);
    if (TTelnetServer* to = server) to->PrintLine(id, u"got <%s>", line);
  }
  std::atomic<TTelnetServer*> server{nullptr};  // set once the server runs
};

bool Installed(const char* program) { return access(program, X_OK) == 0; }

// expect drives the client through a pseudo-terminal; a sandbox may have none to give.
bool HasPseudoTerminals() {
  int fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (fd < 0) return false;
  close(fd);
  return true;
}

void RunClient(const char* kind, const char* program) {
  if (!Installed("/usr/bin/expect") || !Installed(program)) GTEST_SKIP() << "expect or the client is not installed";
  if (!HasPseudoTerminals()) GTEST_SKIP() << "no pseudo-terminals here: expect cannot drive a client";
  ActiveObjectEnvironment environment;
  AnsweringEvents events;
  TelnetServerFixture fixture("s3cr3t", true, &events);
  events.server = &fixture.Server();
  ASSERT_NE(fixture.Port(), 0);
  std::string output;
  int code = RunChild({"/usr/bin/expect", REAL_CLIENT_SCRIPT, kind, std::to_string(fixture.Port()), "s3cr3t"}, &output, 60);
  EXPECT_EQ(code, 0) << output;
  EXPECT_EQ(output.find("s3cr3t", output.find("spawn") + 40), std::string::npos)
      << "the password shows in clear:\n" << output;
  EXPECT_EQ(events.Count("line 0 help"), 2u) << output;
  EXPECT_EQ(events.Count("line 0 status"), 1u) << output;
  fixture.Server().Stop();
  events.server = nullptr;
}

TEST(RealClientTest, InetutilsTelnet) { RunClient("inetutils", "/usr/bin/telnet"); }

TEST(RealClientTest, BusyBoxTelnet) { RunClient("busybox", "/usr/bin/busybox"); }

TEST(RealClientTest, PuttyOpeningNegotiationKeepsTheSession) {
  ActiveObjectEnvironment environment;
  TelnetServerFixture fixture;
  ASSERT_NE(fixture.Port(), 0);
  TcpTestClient client(fixture.Port());
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("ready 0"); }));
  // WILL NAWS, WILL TSPEED, WILL TTYPE, WILL NEW-ENVIRON, DO ECHO, WILL SGA, DO SGA.
  client.Send(std::string("\xff\xfb\x1f\xff\xfb\x20\xff\xfb\x18\xff\xfb\x27\xff\xfd\x01\xff\xfb\x03\xff\xfd\x03", 21));
  client.Send("status\r\n");
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("line 0 status"); }));
  EXPECT_EQ(fixture.Events().Count("line"), 1u);
  EXPECT_EQ(fixture.Events().Count("gone"), 0u);
  fixture.Server().PrintLine(0, u"still here");
  EXPECT_TRUE(client.WaitForText("still here\r\n"));
}

}  // namespace
