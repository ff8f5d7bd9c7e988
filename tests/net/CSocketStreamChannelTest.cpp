#include "net/CSocketStreamChannel.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/CChannelIface.h"
#include "net/CStreamChannelServer.h"
#include "net/StreamChannelFactory.h"
#include "tests/TcpTestClient.h"
#include "tests/TestSupport.h"

namespace {

using platform::DWORD;
using testing_support::WaitFor;
using Clock = std::chrono::steady_clock;

// Connections through a loopback listener: a plain client on one side, an accepted channel on
// the other. The watchdog: a test still running after 30 s (a deadlock) ends the run by SIGALRM.
struct StreamChannelTest : ::testing::Test {
  struct Connection {
    std::unique_ptr<testing_support::TcpTestClient> client;
    CStreamChannel* channel = nullptr;
  };
  void SetUp() override { ASSERT_TRUE(alarm(30) == 0 && m_server.Open("127.0.0.1", 0)); }
  void TearDown() override { alarm(0); }
  Connection Connect(int receiveBuffer = 0) {
    Connection c{std::make_unique<testing_support::TcpTestClient>(m_server.LocalPort(), receiveBuffer)};
    c.channel = c.client->Connected() ? m_server.Accept(nullptr) : nullptr;
    EXPECT_NE(c.channel, nullptr);
    return c;
  }
  CStreamChannelServer m_server;
};

// Records what arrives, re-arming from inside each completion, then an end as "[end E]" (E: its
// error), last: the collector may go once that is seen. Completions must never overlap.
struct Collector : CChannelIface {
  explicit Collector(std::size_t capacity = 4096) : m_buffer(capacity) {}
  bool Start(CStreamChannel* channel) {
    channel->SetListener(this);
    return channel->Receive(m_buffer.data(), static_cast<DWORD>(m_buffer.size()));
  }
  void OnChannelRx(CStreamChannel* source, DWORD error, const std::uint8_t* data, DWORD count) override {
    EXPECT_EQ(m_inside.fetch_add(1), 0) << "completions overlap";
    const bool end = error != 0 || count == 0;
    if (end) source->SetListener(nullptr);
    EXPECT_TRUE(end || source->Receive(m_buffer.data(), static_cast<DWORD>(m_buffer.size())) || !source->IsOpen());
    m_inside.fetch_sub(1);
    std::lock_guard<std::mutex> guard(m_lock);
    m_record += end ? "[end " + std::to_string(error) + "]" : std::string(reinterpret_cast<const char*>(data), count);
  }
  std::string Record() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_record;
  }
  std::vector<std::uint8_t> m_buffer;
  std::atomic<int> m_inside{0};
  std::mutex m_lock;
  std::string m_record;
};

// A new client's connection is accepted, with its address, and carries data.
void ExpectAccepts(CStreamChannelServer& server) {
  testing_support::TcpTestClient client(server.LocalPort());
  TPeerAddress peer;
  CStreamChannel* channel = client.Connected() ? server.Accept(&peer) : nullptr;
  ASSERT_NE(channel, nullptr);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  getsockname(client.Fd(), reinterpret_cast<sockaddr*>(&local), &length);
  EXPECT_FALSE(peer.ipv6);
  EXPECT_EQ(peer.ipv4, 0x7F000001u);
  EXPECT_EQ(peer.port, ntohs(local.sin_port));
  EXPECT_STREQ(peer.text, "127.0.0.1");
  EXPECT_TRUE(channel->Send("hi", 2, nullptr) && client.WaitForText("hi"));
  channel->Release();
}

// Close from another thread wakes the accepts blocked on the listener and frees its port.
TEST_F(StreamChannelTest, ListenerHoldsItsPortUntilACloseThatWakesBlockedAccepts) {
  const std::uint16_t port = m_server.LocalPort();
  ExpectAccepts(m_server);
  CStreamChannelServer second;
  EXPECT_FALSE(second.Open("127.0.0.1", port));

  std::atomic<pid_t> tids[2] = {0, 0};
  auto accept = [&](int i) {
    tids[i] = static_cast<pid_t>(syscall(SYS_gettid));
    EXPECT_EQ(m_server.Accept(nullptr), nullptr);
  };
  std::thread a(accept, 0), b(accept, 1);
  auto asleep = [&](int i) {  // the thread's scheduler state: 'S' while it waits
    std::ifstream stat("/proc/self/task/" + std::to_string(tids[i]) + "/stat");
    return std::string(std::istreambuf_iterator<char>(stat), {}).find(") S ") != std::string::npos;
  };
  EXPECT_TRUE(WaitFor([&] { return asleep(0) && asleep(1); }));
  m_server.Close();
  a.join();
  b.join();

  ASSERT_TRUE(second.Open("127.0.0.1", port));
  ExpectAccepts(second);
  second.Close();
  ASSERT_TRUE(m_server.Open("127.0.0.1", port));  // the same object opens again
  ExpectAccepts(m_server);
}

// The peer here is a channel of the factory's; once it is gone, sends fail without a SIGPIPE.
TEST_F(StreamChannelTest, DeliversBlocksInOrderAndTheEndOnce) {
  CStreamChannel* peer = ConnectStreamChannel("127.0.0.1", m_server.LocalPort());
  CStreamChannel* channel = peer != nullptr ? m_server.Accept(nullptr) : nullptr;
  Collector collector(777);
  ASSERT_TRUE(channel != nullptr && collector.Start(channel));
  char spare[1024] = {};
  EXPECT_FALSE(channel->Receive(spare, 1));  // one receive at a time
  std::string sent(1 << 19, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  for (std::size_t at = 0, piece = 1; at < sent.size(); at += piece, piece = piece * 3 % 9001 + 1)
    ASSERT_TRUE(peer->Send(sent.data() + at, static_cast<DWORD>(std::min(piece, sent.size() - at)), nullptr));
  ASSERT_TRUE(WaitFor([&] { return collector.Record().size() == sent.size(); }));
  EXPECT_TRUE(collector.Record() == sent);

  peer->Release();  // closes the socket: count 0, error 0
  ASSERT_TRUE(WaitFor([&] { return collector.Record().size() > sent.size(); }));
  EXPECT_FALSE(channel->Receive(spare, sizeof spare));  // nothing completes after the end
  EXPECT_TRUE(WaitFor([&] { return !channel->Send(spare, sizeof spare, nullptr); }));
  EXPECT_TRUE(collector.Record() == sent + "[end 0]");
  channel->Release();
}

// Arms the next receive and closes the channel from inside its completion; with `release`, also
// drops the last user reference there, as the telnet front end does.
struct Ender : CChannelIface {
  void OnChannelRx(CStreamChannel* source, DWORD error, const std::uint8_t*, DWORD count) override {
    if (error != 0 || count == 0) return void(++ends);
    const bool last = release;
    EXPECT_TRUE(source->Receive(buffer, sizeof buffer));
    source->Close();
    if (last) source->SetListener(nullptr);
    ++data;  // the last use of this object: the channel may outlive it from here on
    if (last) source->Release();  // freed after we return
  }
  bool release = false;
  std::atomic<int> data{0}, ends{0};
  std::uint8_t buffer[64];
};

TEST_F(StreamChannelTest, ClosingAndReleasingFromInsideTheCompletion) {
  for (int round = 0; round < 40; ++round) {
    Connection c = Connect();
    Ender ender;
    ender.release = round % 2 == 1;
    c.channel->SetListener(&ender);
    ASSERT_TRUE(c.channel->Receive(ender.buffer, sizeof ender.buffer));
    ASSERT_TRUE(c.client->Send("data") && c.client->WaitForClose());
    // The receive armed before the Close ends with count 0, once; none reaches a removed listener.
    ASSERT_TRUE(WaitFor([&] { return ender.data == 1 && ender.ends == (ender.release ? 0 : 1); }));
    if (!ender.release) c.channel->Release();
  }
}

// The listener is taken off from another thread while completions run, the channel closed after
// or (as the telnet front end does) before; then it goes with its buffer. ASan sees late use.
TEST_F(StreamChannelTest, SetListenerNullFromAnotherThreadWaitsForTheRunningCompletion) {
  for (int round = 0; round < 40; ++round) {
    Connection c = Connect();
    auto collector = std::make_unique<Collector>(8);
    ASSERT_TRUE(collector->Start(c.channel));
    ASSERT_TRUE(c.client->Send(std::string(65536, 'r')));
    ASSERT_TRUE(WaitFor([&] { return collector->Record().size() >= 8u * (3 + round % 5); }));
    if (round % 2 == 1) c.channel->Close();
    c.channel->SetListener(nullptr);
    const std::size_t seen = collector->Record().size();
    c.channel->Close();
    EXPECT_EQ(collector->Record().size(), seen);
    collector.reset();
    c.channel->Release();
  }
}

// The sender has a small, fixed send buffer, so every message goes out in several writes.
TEST_F(StreamChannelTest, ConcurrentSendsNeverInterleave) {
  constexpr std::size_t kMessage = 65536, kTotal = 2 * 40 * kMessage;
  Connection c = Connect();
  const int sendBuffer = 8192;
  setsockopt(c.client->Fd(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  CStreamChannel* sender = AdoptStreamChannel(dup(c.client->Fd()));
  Collector collector(65536);
  ASSERT_TRUE(sender != nullptr && collector.Start(c.channel));
  auto sendAll = [&](char fill) {
    const std::string message(kMessage, fill);
    // A full buffer refuses a message whole; it is sent again once there is room.
    for (int i = 0; i < 40; ++i) EXPECT_TRUE(WaitFor([&] { return sender->Send(message.data(), kMessage, nullptr); }));
  };
  std::thread a(sendAll, 'a'), b(sendAll, 'b');
  a.join();
  b.join();
  ASSERT_TRUE(WaitFor([&] { return collector.Record().size() == kTotal; }));
  const std::string received = collector.Record();
  for (std::size_t at = 0; at < kTotal; at += kMessage) {
    std::string_view message(received.data() + at, kMessage);
    ASSERT_EQ(message.find_first_not_of(message[0]), std::string_view::npos) << "interleaved at " << at;
  }
  sender->Release();
  c.channel->Close();  // from a thread of the test's: the armed receive ends with count 0
  EXPECT_TRUE(WaitFor([&] { return collector.Record().size() == kTotal + 7 && collector.Record().ends_with("[end 0]"); }));
  c.channel->Release();
}

// A peer that reads nothing: sends never wait, the buffer takes whole sends until it is full,
// then refuses every send until it has drained; then the notice, then sends again.
TEST_F(StreamChannelTest, StalledPeerLosesWholeSendsAndIsToldOnceItDrained) {
  Connection c = Connect(4096);
  c.channel->SetDropNotice([](DWORD dropped) { return "[dropped " + std::to_string(dropped) + "]"; });
  std::string accepted;
  DWORD sent = 1;
  const auto start = Clock::now();
  for (int i = 0; i < 20000; ++i) {
    std::string message = "<" + std::to_string(i) + std::string(1000, '.') + ">";
    if (!c.channel->Send(message.data(), static_cast<DWORD>(message.size()), &sent)) break;
    EXPECT_EQ(sent, message.size());
    accepted += message;
  }
  EXPECT_EQ(sent, 0u);
  // Full: what is still buffered and what the kernel took leave no room for one more whole send
  // (how much has already gone to the kernel depends on when the I/O thread ran).
  EXPECT_GT(accepted.size() + 1100, CStreamChannel::kOutputLimit);
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(c.channel->Send("x", 1, &sent)) << "refused until drained";
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << "sends waited on the peer";

  ASSERT_TRUE(c.client->WaitForText("[dropped 51]", accepted.size(), std::chrono::seconds(20)));
  EXPECT_TRUE(c.channel->Send("after", 5, &sent));
  ASSERT_TRUE(c.client->WaitForText("after", accepted.size()));
  EXPECT_TRUE(c.client->Received() == accepted + "[dropped 51]after");
  c.channel->Close();
  c.channel->Release();
}

// Sends from inside the channel's own completion are written at once while nothing waits; what
// the socket did not take, and every send behind it, stays in order behind in the buffer.
TEST_F(StreamChannelTest, SendsFromInsideTheCompletionKeepTheirOrderPastAFullSocket) {
  Connection c = Connect(4096);
  // The accepted socket (the one whose peer is the client) takes little, so that the first big
  // send goes through in part and the rest waits.
  sockaddr_in client{}, peer{};
  socklen_t size = sizeof client;
  ASSERT_EQ(getsockname(c.client->Fd(), reinterpret_cast<sockaddr*>(&client), &size), 0);
  bool shrunk = false;
  for (int fd = 0; fd < 1024 && !shrunk; ++fd) {
    size = sizeof peer;
    if (fd == c.client->Fd() || getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) continue;
    if (peer.sin_port != client.sin_port || peer.sin_addr.s_addr != client.sin_addr.s_addr) continue;
    const int small = 16384;
    shrunk = setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small) == 0;
  }
  ASSERT_TRUE(shrunk);
  struct Answerer : CChannelIface {
    void OnChannelRx(CStreamChannel* source, DWORD error, const std::uint8_t* data, DWORD count) override {
      if (error != 0 || count == 0) return;
      for (DWORD i = 0; i < count; ++i) {
        const std::string big = "<" + std::string(1, static_cast<char>(data[i])) + std::string(300000, '.') + ">";
        EXPECT_TRUE(source->Send(big.data(), static_cast<DWORD>(big.size()), nullptr));
        EXPECT_TRUE(source->Send("!", 1, nullptr));
      }
      source->Receive(buffer, sizeof buffer);
    }
    std::uint8_t buffer[16];
  } answerer;
  c.channel->SetListener(&answerer);
  ASSERT_TRUE(c.channel->Receive(answerer.buffer, sizeof answerer.buffer));
  const std::string keys = "ab";
  ASSERT_TRUE(c.client->Send(keys));
  std::string expected;
  for (char key : keys) expected += "<" + std::string(1, key) + std::string(300000, '.') + ">!";
  ASSERT_TRUE(c.client->WaitForText(">!", expected.size() - 2, std::chrono::seconds(20)));
  EXPECT_TRUE(c.client->Received() == expected);
  c.channel->SetListener(nullptr);
  c.channel->Close();
  c.channel->Release();
}

}  // namespace
