// The telnet front end over loopback: TtcpServer, the listener, and TTelnetServer on top of it.
#include "telnet/TTelnetServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/TRegEditor.h"
#include "net/CStreamChannel.h"
#include "net/CStreamChannelServer.h"
#include "telnet/TtcpServer.h"
#include "tests/TestSupport.h"
#include "tests/TcpTestClient.h"
#include "tests/telnet/FakeStream.h"

using testing_support::FreeTcpPort;
using testing_support::TcpTestClient;
using testing_support::ThreadCount;
using testing_support::WaitFor;

namespace {

// Records every event as one line of text: "ready 0", "line 0 help", "completion 0 he\t", "gone 0".
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
    std::vector<std::string> events = Events();
    return std::find(events.begin(), events.end(), event) != events.end();
  }
  std::size_t Count(const std::string& prefix) {
    std::vector<std::string> events = Events();
    return std::count_if(events.begin(), events.end(), [&](const std::string& e) { return e.starts_with(prefix); });
  }

 private:
  void Add(std::string event) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_events.push_back(std::move(event));
  }
  std::mutex m_lock;
  std::vector<std::string> m_events;
};

// A server configured and listening on a free port (0 when none was found).
class TelnetServerFixture {
 public:
  explicit TelnetServerFixture(const std::string& password = "", bool remote = true) {
    for (int attempt = 0; attempt < 20 && m_port == 0; ++attempt) {
      m_server = std::make_unique<TTelnetServer>(&m_events);
      TTelnetServerConfig config;
      const std::uint16_t port = FreeTcpPort();
      config.SetPort(port);
      config.Password = TStringEx(password.c_str());
      config.RemoteConnectionEnabled = remote;
      m_server->Configure(config);
      if (m_server->IsListening()) m_port = port;
    }
  }
  TTelnetServer& Server() { return *m_server; }
  RecordingServerEvents& Events() { return m_events; }
  std::uint16_t Port() const { return m_port; }

 private:
  RecordingServerEvents m_events;
  std::unique_ptr<TTelnetServer> m_server;  // goes before the events it reports to
  std::uint16_t m_port = 0;
};

// Records notifications; keeps accepted channels open until the end of the test.
class RecordingNotify : public TtcpServerNotify {
 public:
  ~RecordingNotify() override {
    for (CStreamChannel* channel : m_channels) {
      channel->Close();
      channel->Release();
    }
  }
  void OnAccept(CStreamChannel* channel, platform::DWORD address, std::uint16_t port) override {
    std::lock_guard<std::mutex> hold(m_lock);
    m_channels.push_back(channel);
    m_order.push_back("accept " + std::to_string(address) + (port != 0 ? " from a port" : ""));
  }
  void OnConnectionText(CStreamChannel*, TStringEx address, std::uint16_t) override {
    std::lock_guard<std::mutex> hold(m_lock);
    m_order.push_back("text " + address.ToNarrow());
  }
  void OnAcceptLocal(CStreamChannel*, platform::DWORD, std::uint16_t, platform::DWORD value) override {
    std::lock_guard<std::mutex> hold(m_lock);
    m_order.push_back("local " + std::to_string(value));
  }
  void OnListening(std::uint16_t) override { ++listening; }
  void OnListenFailed(std::uint16_t) override { ++failed; }

  std::vector<std::string> Order() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_order;
  }
  std::atomic<int> listening{0};
  std::atomic<int> failed{0};

 private:
  std::mutex m_lock;
  std::vector<CStreamChannel*> m_channels;
  std::vector<std::string> m_order;
};

// Port 0 starts nothing. A Start while running moves the listener: the old port is closed, the
// new one accepts.
TEST(TtcpServerTest, AcceptsAndNotifiesInOrderAndStartMovesToANewPort) {
  TtcpServer server;
  RecordingNotify notify;
  EXPECT_FALSE(server.Start(&notify, 0, true) || server.IsRunning() || server.Stop());
  EXPECT_EQ(notify.listening + notify.failed, 0);
  std::uint16_t first = FreeTcpPort();
  ASSERT_TRUE(server.Start(&notify, first));
  std::uint16_t port = FreeTcpPort();
  ASSERT_TRUE(server.Start(&notify, port));
  EXPECT_EQ(notify.listening, 2);
  TcpTestClient old(first);
  EXPECT_FALSE(old.Connected());
  TcpTestClient client(port);
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(WaitFor([&] { return notify.Order().size() == 3; }));
  EXPECT_EQ(notify.Order(), (std::vector<std::string>{"accept 2130706433 from a port", "text 127.0.0.1",
                                                      "local " + std::to_string(port)}));  // 127.0.0.1
  EXPECT_TRUE(server.Stop());
  EXPECT_FALSE(server.Stop());
  TcpTestClient late(port);
  EXPECT_FALSE(late.Connected()) << "nothing listens after Stop";
}

// Without retry a taken port fails Start; with it the server runs, reports the first failure at
// once and listens when the port comes free, unless a Stop came first: that one does not wait out
// the retry pause, and nothing is opened after it.
TEST(TtcpServerTest, TakenPortFailsWithoutRetryAndRetriesWithItUntilStopped) {
  for (bool stopWhileRetrying : {false, true}) {
    SCOPED_TRACE(stopWhileRetrying ? "stopped while retrying" : "retrying");
    std::uint16_t port = FreeTcpPort();
    CStreamChannelServer holder;  // as another program's listener would
    ASSERT_TRUE(holder.Open("0.0.0.0", port));
    TtcpServer server;
    RecordingNotify notify;
    EXPECT_FALSE(server.Start(&notify, port));
    EXPECT_FALSE(server.IsRunning());
    ASSERT_TRUE(server.Start(&notify, port, true));
    EXPECT_TRUE(server.IsRunning());
    EXPECT_EQ(notify.failed, 1);
    EXPECT_FALSE(server.IsListening());
    const auto start = std::chrono::steady_clock::now();
    const bool stopped = stopWhileRetrying && server.Stop();
    EXPECT_EQ(stopped, stopWhileRetrying);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4)) << "not a whole retry pause";
    holder.Close();
    EXPECT_EQ(WaitFor([&] { return notify.listening == 1; }, std::chrono::seconds(stopped ? 0 : 15)), !stopped);
    TcpTestClient client(port);
    EXPECT_EQ(client.Connected(), !stopped);
    EXPECT_EQ(WaitFor([&] { return !notify.Order().empty(); }, std::chrono::seconds(stopped ? 0 : 10)), !stopped);
    EXPECT_EQ(server.Stop(), !stopped);
  }
}

const std::string kConnectBytes =
    "\xff\xfe\x01\xff\xfb\x01\xff\xfb\x03"
    "\x1b[40m\x1b[32;1m\x1b[2J"
    "Greetings!\n\r\r\n";

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmRSS:")) return std::atol(line.c_str() + 6);
  return 0;
}

// A server on a free port (with a password, or for local clients only, in the derived fixtures)
// under the environment's watchdog.
class ServerTest : public testing_support::WatchedTest {
 protected:
  explicit ServerTest(const std::string& password = "", bool remote = true) : fixture(password, remote) {}
  void SetUp() override { ASSERT_NE(fixture.Port(), 0); }
  bool Saw(const std::string& event) { return WaitFor([&] { return fixture.Events().Has(event); }); }
  TelnetServerFixture fixture;
};
struct PasswordServerTest : ServerTest {
  PasswordServerTest() : ServerTest("secret") {}
};
struct LocalServerTest : ServerTest {
  LocalServerTest() : ServerTest("", false) {}
};
using TelnetServerTest = testing_support::WatchedTest;  // for tests that make their own servers

// A connection at the prompt (id 0) gets no output, history or completion until it fails at the
// end; the right password, with anything after it, admits; a wrong one is denied.
TEST_F(PasswordServerTest, PromptMasksAdmitsAndDeniesAndKeepsOutputFromWaitingConnections) {
  TcpTestClient waiting(fixture.Port());
  ASSERT_TRUE(waiting.WaitForText(kConnectBytes + "Password:"));
  TcpTestClient right(fixture.Port());
  ASSERT_TRUE(right.WaitForText(kConnectBytes + "Password:"));
  std::size_t mark = right.Mark();
  right.Send("secret\r\n");
  ASSERT_TRUE(Saw("ready 1"));
  ASSERT_TRUE(right.WaitForText("******\r\n", mark));
  EXPECT_EQ(right.Received().find("secret"), std::string::npos) << "the password is never echoed";
  right.Send("ls\nsecret cmd\n");
  ASSERT_TRUE(Saw("line 1 secret cmd"));
  ASSERT_TRUE(right.WaitForText("ls\r\n", mark));
  fixture.Server().PrintLineAll(u"news %d", 7);
  fixture.Server().PrintAll(u"tail");
  fixture.Server().Print(0, u"direct");
  EXPECT_TRUE(right.WaitForText("news 7\r\ntail", mark));

  TcpTestClient suffix(fixture.Port());
  ASSERT_TRUE(suffix.WaitForText("Password:"));
  suffix.Send("secretXYZ\r\n");
  ASSERT_TRUE(Saw("ready 2"));
  for (const char* wrong : {"sec", "Secret"}) {
    TcpTestClient client(fixture.Port());
    ASSERT_TRUE(client.WaitForText("Password:"));
    std::size_t at = client.Mark();
    client.Send(std::string(wrong) + "\r\n");
    ASSERT_TRUE(client.WaitForClose());
    EXPECT_NE(client.Received().find("\r\n\r\nAccess denied\r\n\r\n", at), std::string::npos);
  }
  // Up, Down and TAB at the prompt, then a wrong password: everything before it was handled.
  mark = waiting.Mark();
  waiting.Send("\x1b[A\x1b[Bse\t\x1b[Cwrong\n");
  ASSERT_TRUE(waiting.WaitForClose());
  EXPECT_EQ(waiting.Received().substr(mark), "*******\r\n\r\n\r\nAccess denied\r\n\r\n");
  EXPECT_EQ(fixture.Events().Count("ready"), 2u);
  EXPECT_EQ(fixture.Events().Count("completion"), 0u);
  EXPECT_EQ(fixture.Events().Count("line"), 2u) << "a password never reaches the console";
  EXPECT_EQ(fixture.Server().ChannelIds(), (std::vector<int>{1, 2}));
}

TEST_F(ServerTest, IdsAreNeverReusedAndGoneChannelsStayUntilRemoved) {
  for (int id = 0; id < 3; ++id) {
    TcpTestClient client(fixture.Port());
    ASSERT_TRUE(Saw("ready " + std::to_string(id)));
    client.Close();
    ASSERT_TRUE(Saw("gone " + std::to_string(id)));
    EXPECT_EQ(fixture.Server().ChannelIds(), std::vector<int>{id}) << "a gone channel stays until removed";
    fixture.Server().RemoveChannel(id);
    fixture.Server().RemoveChannel(id);  // an id no longer present does nothing
  }
  EXPECT_TRUE(fixture.Server().ChannelIds().empty());
}

TEST_F(ServerTest, SharedHistoryOfTwentyAndRecall) {
  TcpTestClient client(fixture.Port());
  ASSERT_TRUE(Saw("ready 0"));

  std::size_t mark = client.Mark();
  client.Send("\x1b[A");  // Up on an empty history: nothing shown
  client.Send("x\r\n");
  ASSERT_TRUE(Saw("line 0 x"));
  client.Pump(50);
  EXPECT_EQ(client.Received().find("\x1b[2K", mark), std::string::npos);

  for (int i = 1; i <= 20; ++i) client.Send("cmd" + std::to_string(i) + "\r\n");
  ASSERT_TRUE(Saw("line 0 cmd20"));

  // A second connection shares the history: Up recalls the newest, then older ones.
  TcpTestClient other(fixture.Port());
  ASSERT_TRUE(Saw("ready 1"));
  mark = other.Mark();
  other.Send("\x1b[A");
  ASSERT_TRUE(other.WaitForText("\x1b[2K\rcmd20", mark));
  other.Send("\x1b[A");
  ASSERT_TRUE(other.WaitForText("\x1b[2K\rcmd19", mark));
  mark = other.Mark();
  other.Send("\x1b[B");
  ASSERT_TRUE(other.WaitForText("\x1b[2K\rcmd20", mark));
  // The recalled text is the typed line: Enter sends it.
  other.Send("\r\n");
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Count("line 1 cmd20") == 1; }));
  // "x" (the first of the 21 entries) is gone: going back through all 20 never shows it.
  mark = other.Mark();
  for (int i = 0; i < 20; ++i) other.Send("\x1b[A");
  ASSERT_TRUE(other.WaitForText("\x1b[2K\rcmd20", mark));
  other.Pump(100);
  EXPECT_EQ(other.Received().find("\x1b[2K\rx", mark), std::string::npos);
}

// Without a password: the connect bytes and greeting, ready at once, lines echoed and reported;
// PuTTY's opening negotiation (WILL NAWS, TSPEED, TTYPE, NEW-ENVIRON, DO ECHO, WILL SGA, DO SGA)
// changes none of it.
TEST_F(ServerTest, GreetingLinesCompletionAndSetInputLine) {
  TcpTestClient client(fixture.Port());
  ASSERT_TRUE(client.WaitForText(kConnectBytes));
  EXPECT_EQ(client.Received().substr(0, kConnectBytes.size()), kConnectBytes);
  ASSERT_TRUE(Saw("ready 0"));
  client.Send("\xff\xfb\x1f\xff\xfb\x20\xff\xfb\x18\xff\xfb\x27\xff\xfd\x01\xff\xfb\x03\xff\xfd\x03help\r\n");
  ASSERT_TRUE(Saw("line 0 help"));
  EXPECT_TRUE(client.WaitForText("help\r\n", kConnectBytes.size()));

  client.Send("\t");  // TAB alone: no completion
  client.Send("he\t");
  ASSERT_TRUE(Saw("completion 0 he\t"));
  EXPECT_EQ(fixture.Events().Count("completion"), 1u);

  std::size_t mark = client.Mark();
  fixture.Server().SetInputLine(0, u"help");
  ASSERT_TRUE(client.WaitForText("\x1b[2K\rhelp", mark));
  client.Send(" me\r\n");
  ASSERT_TRUE(Saw("line 0 help me"));

  mark = client.Mark();
  fixture.Server().ClearScreen(0);
  fixture.Server().Print(0, u"%d-%s", 42, u"x");
  fixture.Server().PrintLine(0, u"!");
  ASSERT_TRUE(client.WaitForText("\x1b[2J42-x!\r\n", mark));
  EXPECT_EQ(fixture.Events().Count("gone"), 0u);
}

// Clients keep connecting while the server stops: none is left connected once Stop returns.
TEST_F(TelnetServerTest, StopLeavesNoConnectionBehind) {
  for (int round = 0; round < 5; ++round) {
    TelnetServerFixture fixture;
    ASSERT_NE(fixture.Port(), 0);
    std::atomic<bool> stopped{false};
    std::thread connecting([&] {
      std::vector<std::unique_ptr<TcpTestClient>> clients;
      while (!stopped) clients.push_back(std::make_unique<TcpTestClient>(fixture.Port()));
    });
    ASSERT_TRUE(WaitFor([&] { return fixture.Events().Count("ready") >= 3; }));
    fixture.Server().Stop();
    EXPECT_TRUE(fixture.Server().ChannelIds().empty());
    stopped = true;
    connecting.join();
  }
}

// A connection whose first receive cannot start is closed and taken out again at once.
TEST_F(TelnetServerTest, AcceptedConnectionThatCannotReceiveIsRemoved) {
  RecordingServerEvents events;
  TTelnetServer server(&events);
  auto* stream = new FakeStream;
  stream->AddRef();  // the test's own; the server takes the creator's
  stream->Close();
  server.OnAccept(stream, 0x7F000001, 1234);
  EXPECT_TRUE(server.ChannelIds().empty());
  EXPECT_EQ(events.Events(), (std::vector<std::string>{"ready 0", "gone 0"}));
  EXPECT_EQ(stream->Refs(), 1);
  stream->Release();
}

TEST_F(LocalServerTest, LocalOnlyAdmission) {
  TcpTestClient local(fixture.Port());
  ASSERT_TRUE(Saw("ready 0"));

  // A client from 127.0.0.2 is neither 127.0.0.1 nor (normally) one of the host's addresses.
  TcpTestClient foreign(fixture.Port(), 0, 0x7F000002);
  ASSERT_TRUE(foreign.Connected());
  EXPECT_TRUE(foreign.WaitForClose());
  EXPECT_EQ(foreign.Received(), "") << "closed without a byte";
  EXPECT_EQ(fixture.Server().ChannelIds(), std::vector<int>{0}) << "no id was used";
}

TEST_F(ServerTest, RegistryChangesMoveAndCloseTheListener) {
  TRegEditor registry;
  const char16_t* key = u"SOFTWARE\\TolvaneTest\\Telnet";
  ASSERT_TRUE(registry.WriteDword(3, key, u"Port", fixture.Port()));
  fixture.Server().MonitorRegistry(u"SOFTWARE\\TolvaneTest", 3);

  TcpTestClient client(fixture.Port());
  ASSERT_TRUE(Saw("ready 0"));

  std::uint16_t moved = FreeTcpPort();
  ASSERT_TRUE(registry.WriteDword(3, key, u"Port", moved));
  ASSERT_TRUE(WaitFor([&] { return fixture.Server().GetConfig().Port == moved && fixture.Server().IsListening(); }));
  {
    TcpTestClient there(moved);
    ASSERT_TRUE(there.Connected());
    ASSERT_TRUE(Saw("ready 1"));
  }

  ASSERT_TRUE(registry.WriteDword(3, key, u"Enabled", 0));
  ASSERT_TRUE(WaitFor([&] { return !fixture.Server().IsRunning(); }));
  TcpTestClient refused(moved);
  EXPECT_FALSE(refused.Connected());
  // The open connection keeps working.
  std::size_t mark = client.Mark();
  client.Send("still\r\n");
  ASSERT_TRUE(Saw("line 0 still"));
  fixture.Server().PrintLine(0, u"yes");
  EXPECT_TRUE(client.WaitForText("yes\r\n", mark));
}

// Splits at CR LF; a tail without one is returned as the last element.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(text.substr(at, end - at));
  if (at < text.size()) lines.push_back(text.substr(at));
  return lines;
}

// WaitForText from the client's mark on, searching only what is new each time: megabytes arrive.
// Also publishes how many bytes the client has received, for another thread to follow.
bool WaitForNewText(TcpTestClient& client, const std::string& text, std::atomic<std::size_t>& received) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (std::size_t from = client.Mark(); std::chrono::steady_clock::now() < end;) {
    if (client.Received().find(text, from) != std::string::npos) return true;
    if (client.PeerClosed()) return false;
    from = std::max(from, client.Mark() >= text.size() ? client.Mark() - text.size() : 0);
    client.Pump(10);
    received = client.Mark();
  }
  return false;
}

// 20 clients that never read: the broadcast and a typed line's answer go on as if they were not
// there (a hold-up shows as an answer or a line that never comes within its generous deadline),
// and each stopped client later reads whole lines only, then how many it missed.
TEST_F(ServerTest, StoppedClientsHoldUpNothingAndLoseWholeLinesOnly) {
  constexpr int kStopped = 20, kLines = 10000, kPings = 3;
  std::vector<std::unique_ptr<TcpTestClient>> stopped;
  for (int i = 0; i < kStopped; ++i) stopped.push_back(std::make_unique<TcpTestClient>(fixture.Port(), 4096));
  TcpTestClient good(fixture.Port());
  const int goodId = kStopped;
  ASSERT_TRUE(Saw("ready " + std::to_string(goodId)));
  good.Send("\xff\xfe\x01");  // DONT ECHO: only the server's lines come back
  const std::u16string filler(1200, u'-');  // two conversion pieces; more than the kernel buffers hold
  auto line = [&](int i) {
    char number[16];
    std::snprintf(number, sizeof number, "%05d ", i);
    return number + std::string(filler.begin(), filler.end());
  };

  // The broadcast keeps at most 500 lines (about 600 KB) ahead of the reader, well inside its
  // buffer: a reader that a loaded machine holds back a moment loses nothing, while the stopped
  // clients still overflow theirs.
  std::atomic<std::size_t> received{0};
  std::atomic<bool> readerDone{false};
  const std::size_t lineBytes = line(0).size() + 2;
  std::thread broadcast([&] {
    for (std::size_t i = 0; i < kLines; ++i) {
      while (!readerDone && i * lineBytes > received + 500 * lineBytes) std::this_thread::sleep_for(std::chrono::microseconds(200));
      fixture.Server().PrintLineAll(u"%05d %s", i, filler.c_str());
    }
  });
  int answered = 0;
  bool allLines = false;
  std::thread reader([&] {
    for (int ping = 0; ping < kPings && !readerDone; ++ping) {
      good.Send("ping\r\n");
      readerDone = !WaitForNewText(good, "pong " + std::to_string(ping) + "\r\n", received);
      answered += !readerDone;
    }
    allLines = !readerDone && WaitForNewText(good, line(kLines - 1) + "\r\n", received);
    readerDone = true;
  });
  for (int ping = 0; ping < kPings; ++ping) {  // the console's part
    if (!WaitFor([&] { return fixture.Events().Count("line " + std::to_string(goodId)) > std::size_t(ping); })) break;
    fixture.Server().PrintLine(goodId, u"pong %d", ping);
  }
  broadcast.join();
  reader.join();
  EXPECT_EQ(answered, kPings);
  EXPECT_TRUE(allLines);
  std::vector<std::string> expected;
  for (int i = 0; i < kLines; ++i) expected.push_back(line(i));
  std::vector<std::string> got;
  for (const std::string& l : Lines(good.Received().substr(kConnectBytes.size())))
    if (!l.starts_with("pong ")) got.push_back(l);
  EXPECT_TRUE(got == expected) << "every line, whole and in order";

  // A stopped client reads whole lines in order; each gap is announced by the notice that
  // follows it, once what came before the gap has gone out.
  for (auto& client : stopped) {
    std::size_t next = 0, notices = 0;
    bool whole = true;
    auto complete = [&] {
      client->Pump(10);
      next = notices = 0;
      whole = true;
      const std::string& text = client->Received();
      for (const std::string& l : Lines(text.substr(kConnectBytes.size(), text.rfind("\r\n") + 2 - kConnectBytes.size()))) {
        unsigned dropped = 0;
        if (std::sscanf(l.c_str(), "*** %u lines of output were dropped ***", &dropped) == 1) {
          next += dropped;
          ++notices;
        } else {
          whole = whole && next < expected.size() && l == expected[next++];
        }
      }
      return !whole || next >= expected.size();
    };
    ASSERT_TRUE(WaitFor(complete));
    ASSERT_TRUE(whole && next == expected.size() && notices > 0) << next << " " << notices;
  }
  const std::size_t mark = stopped[0]->Mark();
  fixture.Server().PrintLineAll(u"after");
  EXPECT_TRUE(stopped[0]->WaitForText("after\r\n", mark));
  EXPECT_EQ(stopped[0]->Received().substr(mark), "after\r\n");
}

// A client that leaves in the middle of output leaves the others served, and takes no thread
// with it.
TEST_F(ServerTest, VanishingClientLeavesOthersServed) {
  TcpTestClient good(fixture.Port());
  good.Send("warm\r\n");
  ASSERT_TRUE(Saw("line 0 warm"));
  long threadsBefore = ThreadCount();
  {
    TcpTestClient leaver(fixture.Port());
    ASSERT_TRUE(Saw("ready 1"));
    fixture.Server().PrintLineAll(u"%s", std::u16string(5000, u'z').c_str());
  }
  for (int i = 0; i < 50; ++i) fixture.Server().PrintLineAll(u"after %d", i);
  std::size_t mark = good.Mark();
  good.Send("alive\r\n");
  ASSERT_TRUE(Saw("line 0 alive"));
  fixture.Server().PrintLine(0, u"ok");
  EXPECT_TRUE(good.WaitForText("ok\r\n", mark));
  EXPECT_NE(good.Received().find("after 49\r\n"), std::string::npos);
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= threadsBefore; }));
}

TEST_F(ServerTest, FiveHundredConnectionsAddNoThreads) {
  std::vector<std::unique_ptr<TcpTestClient>> clients;
  clients.push_back(std::make_unique<TcpTestClient>(fixture.Port()));
  // A line typed and received: every thread the server and the channels use is running now.
  clients[0]->Send("warm\r\n");
  ASSERT_TRUE(Saw("line 0 warm"));
  long threadsBefore = ThreadCount();
  [[maybe_unused]] const long residentBefore = ResidentKiB();
  for (int i = 1; i < 500; ++i) clients.push_back(std::make_unique<TcpTestClient>(fixture.Port()));
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Count("ready") == 500; }, std::chrono::seconds(30)));
  EXPECT_LE(ThreadCount(), threadsBefore);
  fixture.Server().PrintLineAll(u"to all");
  for (auto& client : clients) EXPECT_TRUE(client->WaitForText("to all\r\n"));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Idle connections hold no output buffer (sanitizers keep freed memory, so only without them).
  EXPECT_LT(ResidentKiB() - residentBefore, 4096);
#endif
  fixture.Server().CloseAllChannels();
  EXPECT_TRUE(clients[0]->WaitForClose());
  EXPECT_TRUE(fixture.Server().ChannelIds().empty());
}

}  // namespace
