#include "telnet/TTelnetServer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <dirent.h>
#include <random>
#include <thread>

#include "foundation/TRegEditor.h"
#include "tests/TestSupport.h"
#include "tests/telnet/TelnetServerFixture.h"
#include "tests/TcpTestClient.h"

using testing_support::ActiveObjectEnvironment;
using testing_support::TelnetServerFixture;
using testing_support::TcpTestClient;
using testing_support::WaitFor;

namespace {

const std::string kConnectBytes =
    "\xff\xfe\x01\xff\xfb\x01\xff\xfb\x03"
    "\x1b[40m\x1b[32;1m\x1b[2J"
    "Greetings!\n\r\r\n";

int ThreadCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

TEST(TTelnetServerTest, ConnectBytesGreetingAndReadyWithoutPassword) {
  ActiveObjectEnvironment environment;
  TelnetServerFixture fixture;
  ASSERT_NE(fixture.Port(), 0);
  TcpTestClient client(fixture.Port());
  ASSERT_TRUE(client.WaitForText(kConnectBytes));
  EXPECT_EQ(client.Received().substr(0, kConnectBytes.size()), kConnectBytes);
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("ready 0"); }));

  client.Send("help\r\n");
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("line 0 help"); }));
  EXPECT_TRUE(client.WaitForText("help\r\n", kConnectBytes.size()));
}

TEST(TTelnetServerTest, PasswordRightWithSuffixAndWrong) {
  ActiveObjectEnvironment environment;
  TelnetServerFixture fixture("secret");
  ASSERT_NE(fixture.Port(), 0);

  TcpTestClient right(fixture.Port());
  ASSERT_TRUE(right.WaitForText(kConnectBytes + "Password:"));
  std::size_t mark = right.Mark();
  right.Send("secret\r\n");
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("ready 0"); }));
  ASSERT_TRUE(right.WaitForText("******\r\n", mark));
  EXPECT_EQ(right.Received().find("secret"), std::string::npos) << "the password is never echoed";
  right.Send("ls\n");
  ASSERT_TRUE(right.WaitForText("ls\r\n", mark));

  TcpTestClient suffix(fixture.Port());
  ASSERT_TRUE(suffix.WaitForText("Password:"));
  suffix.Send("secretXYZ\r\n");
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("ready 1"); }));

  for (const char* wrong : {"sec", "Secret"}) {
    TcpTestClient client(fixture.Port());
    ASSERT_TRUE(client.WaitForText("Password:"));
    std::size_t at = client.Mark();
    client.Send(std::string(wrong) + "\r\n");
    ASSERT_TRUE(client.WaitForClose());
    EXPECT_NE(client.Received().find("\r\n\r\nAccess denied\r\n\r\n", at), std::string::npos);
  }
  EXPECT_EQ(fixture.Events().Count("ready"), 2u);
  EXPECT_EQ(fixture.Events().Count("line"), 1u) << "a password never reaches the console";
  EXPECT_TRUE(fixture.Events().Has("line 0 ls"));
  EXPECT_EQ(fixture.Server().ChannelIds(), (std::vector<int>{0, 1}));
}

TEST(TTelnetServerTest, IdsAreNeverReusedAndGoneChannelsStayUntilRemoved) {
  ActiveObjectEnvironment environment;
  TelnetServerFixture fixture;
  ASSERT_NE(fixture.Port(), 0);
  for (int id = 0; id < 3; ++id) {
    TcpTestClient client(fixture.Port());
    ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("ready " + std::to_string(id)); }));
    client.Close();
    ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("gone " + std::to_string(id)); }));
    EXPECT_EQ(fixture.Server().ChannelIds(), std::vector<int>{id}) << "a gone channel stays until removed";
    fixture.Server().RemoveChannel(id);
    fixture.Server().RemoveChannel(id);  // an id no longer present does nothing
  }
  EXPECT_TRUE(fixture.Server().ChannelIds().empty());
}

TEST(TTelnetServerTest, SharedHistoryOfTwentyAndRecall) {
  ActiveObjectEnvironment environment;
  TelnetServerFixture fixture;
  ASSERT_NE(fixture.Port(), 0);
  TcpTestClient client(fixture.Port());
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("ready 0"); }));

  std::size_t mark = client.Mark();
  client.Send("\x1b[A");  // Up on an empty history: nothing shown
  client.Send("x\r\n");
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("line 0 x"); }));
  client.Pump(50);
  EXPECT_EQ(client.Received().find("\x1b[2K", mark), std::string::npos);

  for (int i = 1; i <= 20; ++i) client.Send("cmd" + std::to_string(i) + "\r\n");
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("line 0 cmd20"); }));

  // A second connection shares the history: Up recalls the newest, then older ones.
  TcpTestClient other(fixture.Port());
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("ready 1"); }));
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

TEST(TTelnetServerTest, CompletionAndSetInputLine) {
  ActiveObjectEnvironment environment;
  TelnetServerFixture fixture;
  ASSERT_NE(fixture.Port(), 0);
  TcpTestClient client(fixture.Port());
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("ready 0"); }));
  client.Send("\t");  // TAB alone: no completion
  client.Send("he\t");
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("completion 0 he\t"); }));
  EXPECT_EQ(fixture.Events().Count("completion"), 1u);

  std::size_t mark = client.Mark();
  fixture.Server().SetInputLine(0, u"help");
  ASSERT_TRUE(client.WaitForText("\x1b[2K\rhelp", mark));
  client.Send(" me\r\n");
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("line 0 help me"); }));

  mark = client.Mark();
  fixture.Server().ClearScreen(0);
  fixture.Server().Print(0, u"%d-%s", 42, u"x");
  fixture.Server().PrintLine(0, u"!");
  ASSERT_TRUE(client.WaitForText("\x1b[2J42-x!\r\n", mark));
}

TEST(TTelnetServerTest, BroadcastReachesConnectionAtPasswordPrompt) {
  ActiveObjectEnvironment environment;
  TelnetServerFixture fixture("pw");
  ASSERT_NE(fixture.Port(), 0);
  TcpTestClient waiting(fixture.Port());
  TcpTestClient ready(fixture.Port());
  ASSERT_TRUE(waiting.WaitForText("Password:"));
  ASSERT_TRUE(ready.WaitForText("Password:"));
  ready.Send("pw\n");
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("ready 1"); }));
  fixture.Server().PrintLineAll(u"news %d", 7);
  fixture.Server().PrintAll(u"tail");
  EXPECT_TRUE(waiting.WaitForText("news 7\r\ntail"));
  EXPECT_TRUE(ready.WaitForText("news 7\r\ntail"));
}

TEST(TTelnetServerTest, LocalOnlyAdmission) {
  ActiveObjectEnvironment environment;
  TelnetServerFixture fixture("", false);
  ASSERT_NE(fixture.Port(), 0);
  TcpTestClient local(fixture.Port());
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("ready 0"); }));

  // A client from 127.0.0.2 is neither 127.0.0.1 nor (normally) one of the host's addresses.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7F000002);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(fixture.Port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  char byte;
  timeval wait{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  EXPECT_EQ(recv(fd, &byte, 1, 0), 0) << "closed without a byte";
  close(fd);
  EXPECT_EQ(fixture.Server().ChannelIds(), std::vector<int>{0}) << "no id was used";
}

TEST(TTelnetServerTest, RegistryChangesMoveAndCloseTheListener) {
  ActiveObjectEnvironment environment;
  TelnetServerFixture fixture;
  ASSERT_NE(fixture.Port(), 0);
  TRegEditor registry;
  const char16_t* key = u"SOFTWARE\\TolvaneTest\\Telnet";
  ASSERT_TRUE(registry.WriteDword(3, key, u"Port", fixture.Port()));
  fixture.Server().MonitorRegistry(u"SOFTWARE\\TolvaneTest", 3);

  TcpTestClient client(fixture.Port());
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("ready 0"); }));

  std::uint16_t moved = testing_support::FreeTcpPort();
  ASSERT_TRUE(registry.WriteDword(3, key, u"Port", moved));
  ASSERT_TRUE(WaitFor([&] { return fixture.Server().GetConfig().Port == moved && fixture.Server().IsListening(); }));
  {
    TcpTestClient there(moved);
    ASSERT_TRUE(there.Connected());
    ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("ready 1"); }));
  }
  // The missing values were written back with their defaults.
  platform::DWORD value = 0;
  EXPECT_TRUE(registry.ReadDword(3, key, u"MaxConnectionCount", value));
  EXPECT_EQ(value, 1u);

  ASSERT_TRUE(registry.WriteDword(3, key, u"Enabled", 0));
  ASSERT_TRUE(WaitFor([&] { return !fixture.Server().IsRunning(); }));
  TcpTestClient refused(moved);
  EXPECT_FALSE(refused.Connected());
  // The open connection keeps working.
  std::size_t mark = client.Mark();
  client.Send("still\r\n");
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("line 0 still"); }));
  fixture.Server().PrintLine(0, u"yes");
  EXPECT_TRUE(client.WaitForText("yes\r\n", mark));
}

TEST(TTelnetServerTest, StoppedReaderDoesNotThrottleOthers) {
  ActiveObjectEnvironment environment;
  TelnetServerFixture fixture;
  ASSERT_NE(fixture.Port(), 0);
  TcpTestClient stopped(fixture.Port(), 4096);
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("ready 0"); }));
  TcpTestClient reader(fixture.Port());
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("ready 1"); }));
  std::size_t mark = reader.Mark();

  std::atomic<bool> done{false};
  std::thread drain([&] { done = reader.WaitForText("line 0999", mark); });
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000; ++i)
    fixture.Server().PrintLineAll(u"line %04d of the broadcast that a stopped client never reads", i);
  auto elapsed = std::chrono::steady_clock::now() - start;
  drain.join();
  ASSERT_TRUE(done);
  // Waiting 250 ms per line on the stopped client would take minutes.
  EXPECT_LT(elapsed, std::chrono::seconds(2));
}

TEST(TTelnetServerTest, HostileAndVanishingClientsLeaveOthersServed) {
  ActiveObjectEnvironment environment;
  TelnetServerFixture fixture;
  ASSERT_NE(fixture.Port(), 0);
  TcpTestClient good(fixture.Port());
  good.Send("warm\r\n");
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("line 0 warm"); }));
  int threadsBefore = ThreadCount();

  // 10 MB of random bytes (no Ctrl-C, which would end it at once).
  std::thread noisy([port = fixture.Port()] {
    TcpTestClient client(port);
    std::mt19937 random(7);
    std::string block(65536, '\0');
    for (int sent = 0; sent < 10 * 1024 * 1024; sent += static_cast<int>(block.size())) {
      for (char& c : block) {
        c = static_cast<char>(random());
        if (c == 3) c = 'x';
      }
      if (!client.Send(block)) break;
      client.Pump(0);
    }
  });
  // One that leaves in the middle of output.
  {
    TcpTestClient leaver(fixture.Port());
    ASSERT_TRUE(WaitFor([&] { return fixture.Events().Count("ready") >= 2; }));
    fixture.Server().PrintLineAll(u"%s", std::u16string(5000, u'z').c_str());
  }
  for (int i = 0; i < 50; ++i) fixture.Server().PrintLineAll(u"after %d", i);
  std::size_t mark = good.Mark();
  good.Send("alive\r\n");
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("line 0 alive"); }));
  noisy.join();
  fixture.Server().PrintLine(0, u"ok");
  EXPECT_TRUE(good.WaitForText("ok\r\n", mark));
  EXPECT_LE(ThreadCount(), threadsBefore);
}

TEST(TTelnetServerTest, FiveHundredConnectionsAddNoThreads) {
  ActiveObjectEnvironment environment;
  TelnetServerFixture fixture;
  ASSERT_NE(fixture.Port(), 0);
  std::vector<std::unique_ptr<TcpTestClient>> clients;
  clients.push_back(std::make_unique<TcpTestClient>(fixture.Port()));
  // A line typed and received: every thread the server and the channels use is running now.
  clients[0]->Send("warm\r\n");
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Has("line 0 warm"); }));
  int threadsBefore = ThreadCount();
  for (int i = 1; i < 500; ++i) clients.push_back(std::make_unique<TcpTestClient>(fixture.Port()));
  ASSERT_TRUE(WaitFor([&] { return fixture.Events().Count("ready") == 500; }, std::chrono::seconds(30)));
  EXPECT_LE(ThreadCount(), threadsBefore);
  fixture.Server().PrintLineAll(u"to all");
  EXPECT_TRUE(clients[499]->WaitForText("to all\r\n"));
  fixture.Server().CloseAllChannels();
  EXPECT_TRUE(clients[0]->WaitForClose());
  EXPECT_TRUE(fixture.Server().ChannelIds().empty());
}

}  // namespace
