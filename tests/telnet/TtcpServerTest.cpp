#include "telnet/TtcpServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "net/CStreamChannel.h"
#include "net/CStreamChannelServer.h"
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
  EXPECT_EQ(notify.Order(), (std::vector<std::string>{"accept", "text 127.0.0.1", "local " + std::to_string(port)}));
  EXPECT_EQ(notify.m_address, 0x7F000001u);
  EXPECT_NE(notify.m_peerPort, 0);
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

}  // namespace
