#include "net/CStreamChannelServer.h"

#include <sys/syscall.h>

#include <atomic>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "net/CStreamChannel.h"
#include "tests/TestSupport.h"
#include "tests/net/NetTestSupport.h"

namespace {

using namespace net_testing;
using testing_support::WaitFor;

class StreamChannelServerTest : public ::testing::Test {
  Watchdog m_watchdog;
};

TEST_F(StreamChannelServerTest, AcceptsAndReportsThePeer) {
  CStreamChannelServer server;
  EXPECT_FALSE(server.IsOpen());
  EXPECT_EQ(server.LocalPort(), 0);
  ASSERT_TRUE(server.Open("127.0.0.1", 0));
  EXPECT_TRUE(server.IsOpen());
  EXPECT_FALSE(server.Open("127.0.0.1", 0));  // already open
  ASSERT_NE(server.LocalPort(), 0);

  int client = ConnectClient(server.LocalPort());
  ASSERT_GE(client, 0);
  TPeerAddress peer;
  CStreamChannel* channel = server.Accept(&peer);
  ASSERT_NE(channel, nullptr);
  EXPECT_FALSE(peer.ipv6);
  EXPECT_EQ(peer.ipv4, 0x7F000001u);
  EXPECT_EQ(peer.port, LocalPortOf(client));
  EXPECT_STREQ(peer.text, "127.0.0.1");
  EXPECT_TRUE(channel->IsOpen());
  EXPECT_TRUE(channel->Send("hi", 2, nullptr));
  char got[2] = {};
  EXPECT_EQ(recv(client, got, 2, MSG_WAITALL), 2);
  EXPECT_EQ(std::memcmp(got, "hi", 2), 0);
  channel->Release();
  close(client);

  // An IPv6 listener, where the host has IPv6 at all.
  CStreamChannelServer v6;
  if (v6.Open("::", 0)) {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(v6.LocalPort());
    address.sin6_addr = in6addr_loopback;
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    CStreamChannel* accepted = v6.Accept(&peer);
    ASSERT_NE(accepted, nullptr);
    EXPECT_TRUE(peer.ipv6);
    EXPECT_EQ(peer.ipv4, 0u);
    EXPECT_EQ(peer.port, LocalPortOf(fd));
    EXPECT_STREQ(peer.text, "::1");
    accepted->Release();
    close(fd);
  }
}

TEST_F(StreamChannelServerTest, RejectsAddressesThatAreNotNumeric) {
  CStreamChannelServer server;
  EXPECT_FALSE(server.Open("localhost", 0));
  EXPECT_FALSE(server.Open("", 0));
  EXPECT_FALSE(server.Open(nullptr, 0));
  EXPECT_FALSE(server.Open("256.1.1.1", 0));
  EXPECT_FALSE(server.IsOpen());
  EXPECT_EQ(server.Accept(nullptr), nullptr);  // closed: returns at once
}

TEST_F(StreamChannelServerTest, TakenPortFailsAndIsFreeAgainAfterClose) {
  CStreamChannelServer first;
  ASSERT_TRUE(first.Open("127.0.0.1", 0));
  const std::uint16_t port = first.LocalPort();

  // Leave a connection whose server side closed first, so it lingers in TIME_WAIT on the port.
  int client = ConnectClient(port);
  ASSERT_GE(client, 0);
  CStreamChannel* channel = first.Accept(nullptr);
  ASSERT_NE(channel, nullptr);
  channel->Close();
  char byte;
  EXPECT_EQ(recv(client, &byte, 1, 0), 0);
  close(client);
  channel->Release();

  CStreamChannelServer second;
  EXPECT_FALSE(second.Open("127.0.0.1", port));
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(second.LocalPort(), 0);

  first.Close();
  EXPECT_FALSE(first.IsOpen());
  EXPECT_EQ(first.LocalPort(), 0);
  first.Close();  // twice is harmless
  ASSERT_TRUE(second.Open("127.0.0.1", port));
  EXPECT_EQ(second.LocalPort(), port);
  client = ConnectClient(port);
  ASSERT_GE(client, 0);
  channel = second.Accept(nullptr);
  ASSERT_NE(channel, nullptr);
  channel->Release();
  close(client);

  // The same object opens again after a Close.
  second.Close();
  ASSERT_TRUE(second.Open("127.0.0.1", port));
  EXPECT_TRUE(second.IsOpen());
}

TEST_F(StreamChannelServerTest, CloseFromAnotherThreadWakesBlockedAccepts) {
  CStreamChannelServer server;
  ASSERT_TRUE(server.Open("127.0.0.1", 0));
  const std::uint16_t port = server.LocalPort();

  std::atomic<pid_t> tids[2] = {0, 0};
  std::atomic<int> returned{0};
  std::atomic<int> nonNull{0};
  std::thread accepters[2];
  for (int i = 0; i < 2; ++i) {
    accepters[i] = std::thread([&, i] {
      tids[i] = static_cast<pid_t>(syscall(SYS_gettid));
      if (server.Accept(nullptr) != nullptr) ++nonNull;
      ++returned;
    });
  }
  // Both asleep in Accept.
  ASSERT_TRUE(WaitFor([&] {
    return tids[0] != 0 && tids[1] != 0 && ThreadState(tids[0]) == 'S' && ThreadState(tids[1]) == 'S';
  }));
  EXPECT_EQ(returned, 0);
  server.Close();
  EXPECT_TRUE(WaitFor([&] { return returned == 2; }));
  for (std::thread& t : accepters) t.join();
  EXPECT_EQ(nonNull, 0);
  EXPECT_FALSE(server.IsOpen());
  EXPECT_EQ(server.Accept(nullptr), nullptr);

  // Still usable afterwards.
  ASSERT_TRUE(server.Open("127.0.0.1", port));
  int client = ConnectClient(port);
  ASSERT_GE(client, 0);
  CStreamChannel* channel = server.Accept(nullptr);
  ASSERT_NE(channel, nullptr);
  channel->Release();
  close(client);
}

}  // namespace
