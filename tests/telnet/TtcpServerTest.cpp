#include "telnet/TtcpServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "net/CStreamChannel.h"
#include "tests/TestSupport.h"
#include "tests/telnet/TelnetServerFixture.h"
#include "tests/TcpTestClient.h"

using testing_support::FreeTcpPort;
using testing_support::TcpTestClient;
using testing_support::WaitFor;

namespace {

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
    m_order.push_back("accept");
    m_address = address;
    m_peerPort = port;
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
  platform::DWORD m_address = 0;
  std::uint16_t m_peerPort = 0;

 private:
  std::mutex m_lock;
  std::vector<CStreamChannel*> m_channels;
  std::vector<std::string> m_order;
};

// Holds a port as another program's listener would.
class PortHolder {
 public:
  explicit PortHolder(std::uint16_t port) {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    m_bound = bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(m_fd, 4) == 0;
  }
  ~PortHolder() { Release(); }
  bool Bound() const { return m_bound; }
  void Release() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
  bool m_bound = false;
};

TEST(TtcpServerTest, PortZeroStartsNothing) {
  TtcpServer server;
  RecordingNotify notify;
  EXPECT_FALSE(server.Start(&notify, 0, true));
  EXPECT_FALSE(server.IsRunning());
  EXPECT_FALSE(server.Stop());
  EXPECT_EQ(notify.listening + notify.failed, 0);
}

TEST(TtcpServerTest, AcceptsAndNotifiesInOrder) {
  TtcpServer server;
  RecordingNotify notify;
  std::uint16_t port = FreeTcpPort();
  ASSERT_TRUE(server.Start(&notify, port));
  EXPECT_EQ(notify.listening, 1);
  TcpTestClient client(port);
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(WaitFor([&] { return notify.Order().size() == 3; }));
  EXPECT_EQ(notify.Order(), (std::vector<std::string>{"accept", "text 127.0.0.1", "local " + std::to_string(port)}));
  EXPECT_EQ(notify.m_address, 0x7F000001u);
  EXPECT_NE(notify.m_peerPort, 0);
  EXPECT_TRUE(server.Stop());
  EXPECT_FALSE(server.Stop());
  TcpTestClient late(port);
  EXPECT_FALSE(late.Connected()) << "nothing listens after Stop";
}

TEST(TtcpServerTest, TakenPortFailsWithoutRetryAndRetriesWithIt) {
  std::uint16_t port = FreeTcpPort();
  PortHolder holder(port);
  ASSERT_TRUE(holder.Bound());
  TtcpServer server;
  RecordingNotify notify;
  EXPECT_FALSE(server.Start(&notify, port));
  EXPECT_FALSE(server.IsRunning());

  ASSERT_TRUE(server.Start(&notify, port, true));
  EXPECT_TRUE(server.IsRunning());
  EXPECT_EQ(notify.failed, 1) << "the first failure is reported at once";
  EXPECT_FALSE(server.IsListening());
  holder.Release();
  ASSERT_TRUE(WaitFor([&] { return notify.listening == 1; }, std::chrono::seconds(15)));
  TcpTestClient client(port);
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(WaitFor([&] { return !notify.Order().empty(); }));
  EXPECT_TRUE(server.Stop());
}

TEST(TtcpServerTest, StopWhileRetryingEndsAtOnceAndOpensNothing) {
  std::uint16_t port = FreeTcpPort();
  PortHolder holder(port);
  ASSERT_TRUE(holder.Bound());
  TtcpServer server;
  RecordingNotify notify;
  ASSERT_TRUE(server.Start(&notify, port, true));
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(server.Stop());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4)) << "not a whole retry pause";
  holder.Release();
  TcpTestClient client(port);
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(notify.listening, 0);
}

TEST(TtcpServerTest, StartWhileRunningMovesToTheNewPort) {
  TtcpServer server;
  RecordingNotify notify;
  std::uint16_t first = FreeTcpPort();
  ASSERT_TRUE(server.Start(&notify, first));
  std::uint16_t second = FreeTcpPort();
  ASSERT_TRUE(server.Start(&notify, second));
  TcpTestClient old(first);
  EXPECT_FALSE(old.Connected());
  TcpTestClient client(second);
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(WaitFor([&] { return notify.Order().size() == 3; }));
  EXPECT_TRUE(server.Stop());
}

}  // namespace
