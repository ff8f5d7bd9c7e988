#include "net/CSocketStreamChannel.h"

#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/CChannelIface.h"
#include "net/CStreamChannelServer.h"
#include "net/StreamChannelFactory.h"
#include "tests/TestSupport.h"
#include "tests/net/NetTestSupport.h"

namespace {

using namespace net_testing;
using platform::DWORD;
using testing_support::WaitFor;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Collects what arrives and starts the next receive from inside each completion; checks that
// completions never overlap and run on the I/O threads.
class Collector : public CChannelIface {
 public:
  explicit Collector(std::size_t capacity = 4096) : m_buffer(capacity) {}

  void OnChannelRx(CStreamChannel* source, DWORD error, const std::uint8_t* data, DWORD count) override {
    EXPECT_EQ(m_inside.fetch_add(1), 0) << "completions overlap";
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    EXPECT_STREQ(name, "NetIo");
    {
      std::lock_guard<std::mutex> guard(m_lock);
      if (error != 0 || count == 0) {
        ++m_ends;
        m_endError = error;
      } else {
        m_bytes.append(reinterpret_cast<const char*>(data), count);
      }
    }
    if (error != 0 || count == 0)
      source->SetListener(nullptr);  // from inside the completion: returns at once
    else
      EXPECT_TRUE(source->Receive(m_buffer.data(), static_cast<DWORD>(m_buffer.size())));
    m_inside.fetch_sub(1);
  }

  bool Start(CStreamChannel* channel) {
    channel->SetListener(this);
    return channel->Receive(m_buffer.data(), static_cast<DWORD>(m_buffer.size()));
  }
  std::size_t Size() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bytes.size();
  }
  std::string Bytes() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bytes;
  }
  int Ends() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_ends;
  }
  DWORD EndError() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_endError;
  }

 private:
  std::vector<std::uint8_t> m_buffer;
  std::atomic<int> m_inside{0};
  std::mutex m_lock;
  std::string m_bytes;
  int m_ends = 0;
  DWORD m_endError = 0;
};

// A listener on the loopback interface, and connections through it: a plain client socket on one
// side, an accepted channel on the other.
class StreamChannelTest : public ::testing::Test {
 protected:
  struct Connection {
    CStreamChannel* channel = nullptr;
    int client = -1;
  };

  void SetUp() override { ASSERT_TRUE(m_server.Open("127.0.0.1", 0)); }

  Connection Connect(int receiveBuffer = 0) {
    Connection connection;
    connection.client = ConnectClient(m_server.LocalPort(), receiveBuffer);
    EXPECT_GE(connection.client, 0);
    if (connection.client >= 0) connection.channel = m_server.Accept(nullptr);
    EXPECT_NE(connection.channel, nullptr);
    return connection;
  }

  CStreamChannelServer m_server;

 private:
  Watchdog m_watchdog;
};

std::string Pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return text;
}

TEST_F(StreamChannelTest, DeliversBlocksInOrderAndTheEndOnce) {
  Connection c = Connect();
  ASSERT_NE(c.channel, nullptr);
  Collector collector(777);
  ASSERT_TRUE(collector.Start(c.channel));
  EXPECT_FALSE(c.channel->Receive(&c, 1));  // one receive at a time

  const std::string sent = Pattern(1 << 20);
  for (std::size_t at = 0, piece = 1; at < sent.size(); at += piece, piece = piece * 3 % 9001 + 1)
    ASSERT_TRUE(WriteAll(c.client, sent.data() + at, std::min(piece, sent.size() - at)));
  ASSERT_TRUE(WaitFor([&] { return collector.Size() == sent.size(); }));
  EXPECT_TRUE(collector.Bytes() == sent);
  EXPECT_EQ(collector.Ends(), 0);

  close(c.client);  // orderly close: count 0, error 0
  ASSERT_TRUE(WaitFor([&] { return collector.Ends() == 1; }));
  EXPECT_EQ(collector.EndError(), 0u);
  char spare[8];
  EXPECT_FALSE(c.channel->Receive(spare, sizeof spare));  // nothing completes after the end
  EXPECT_EQ(collector.Ends(), 1);
  c.channel->Release();
}

TEST_F(StreamChannelTest, ResetByThePeerEndsWithItsError) {
  Connection c = Connect();
  ASSERT_NE(c.channel, nullptr);
  Collector collector;
  ASSERT_TRUE(collector.Start(c.channel));
  linger abort{1, 0};
  setsockopt(c.client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(c.client);
  ASSERT_TRUE(WaitFor([&] { return collector.Ends() == 1; }));
  EXPECT_EQ(collector.EndError(), static_cast<DWORD>(ECONNRESET));
  c.channel->Release();
}

TEST_F(StreamChannelTest, CloseCompletesTheArmedReceiveAndFailsLaterCalls) {
  Connection c = Connect();
  ASSERT_NE(c.channel, nullptr);
  Collector collector;
  ASSERT_TRUE(collector.Start(c.channel));
  std::thread closer([&] { c.channel->Close(); });
  closer.join();
  ASSERT_TRUE(WaitFor([&] { return collector.Ends() == 1; }));
  EXPECT_EQ(collector.EndError(), 0u);
  EXPECT_FALSE(c.channel->IsOpen());
  c.channel->Close();  // idempotent
  DWORD sent = 99;
  EXPECT_FALSE(c.channel->Send("x", 1, &sent));
  EXPECT_EQ(sent, 0u);
  char spare[8];
  EXPECT_FALSE(c.channel->Receive(spare, sizeof spare));
  char byte;
  EXPECT_EQ(recv(c.client, &byte, 1, 0), 0);  // the peer sees the end
  c.channel->Release();
  close(c.client);
}

// Ends the connection from inside its own completion, in the ways the telnet front end does.
class Ender : public CChannelIface {
 public:
  enum class Way { kReceiveThenClose, kCloseAndRelease, kReleaseOnly };
  explicit Ender(Way way) : m_way(way) {}

  void OnChannelRx(CStreamChannel* source, DWORD error, const std::uint8_t*, DWORD count) override {
    ++m_calls;
    if (error != 0 || count == 0) {
      ++m_ends;
      ++m_returned;
      return;
    }
    const Way way = m_way;
    ++m_returned;  // the last use of this object: the channel may outlive it from here on
    switch (way) {
      case Way::kReceiveThenClose:
        EXPECT_TRUE(source->Receive(m_buffer, sizeof m_buffer));
        source->Close();
        break;
      case Way::kCloseAndRelease:
        source->Close();
        source->SetListener(nullptr);
        source->Release();  // the last user reference: destroyed after we return
        break;
      case Way::kReleaseOnly:
        source->Release();
        break;
    }
  }

  std::atomic<int> m_calls{0};
  std::atomic<int> m_ends{0};
  std::atomic<int> m_returned{0};

 private:
  const Way m_way;
  std::uint8_t m_buffer[64];
};

TEST_F(StreamChannelTest, ClosingOrReleasingFromInsideTheCompletion) {
  for (int round = 0; round < 30; ++round) {
    for (Ender::Way way : {Ender::Way::kReceiveThenClose, Ender::Way::kCloseAndRelease, Ender::Way::kReleaseOnly}) {
      Connection c = Connect();
      ASSERT_NE(c.channel, nullptr);
      Ender ender(way);
      std::uint8_t buffer[16];
      c.channel->SetListener(&ender);
      ASSERT_TRUE(c.channel->Receive(buffer, sizeof buffer));
      ASSERT_TRUE(WriteAll(c.client, "data", 4));
      // The peer sees the end: the shutdown of Close, or the socket closed by the destructor.
      pollfd entry{c.client, POLLIN, 0};
      ASSERT_EQ(poll(&entry, 1, 10000), 1);
      char byte;
      EXPECT_EQ(recv(c.client, &byte, 1, 0), 0);
      if (way == Ender::Way::kReceiveThenClose) {
        // The receive started before the Close ends with count 0, once.
        ASSERT_TRUE(WaitFor([&] { return ender.m_ends == 1; }));
        EXPECT_EQ(ender.m_calls, 2);
        c.channel->SetListener(nullptr);
        c.channel->Release();
      } else {
        ASSERT_TRUE(WaitFor([&] { return ender.m_returned == 1; }));
        EXPECT_EQ(ender.m_calls, 1);
        EXPECT_EQ(ender.m_ends, 0);
      }
      close(c.client);
    }
  }
}

// Counts its completions and checks that none runs once the test has taken it off the channel.
class SlowListener : public CChannelIface {
 public:
  SlowListener(std::uint8_t* buffer, std::atomic<bool>* removed, std::atomic<int>* late)
      : m_buffer(buffer), m_removed(removed), m_late(late) {}

  void OnChannelRx(CStreamChannel* source, DWORD error, const std::uint8_t*, DWORD count) override {
    if (m_removed->load()) ++*m_late;
    ++m_completions;
    if (error != 0 || count == 0) return;
    auto until = Clock::now() + std::chrono::microseconds(200);
    while (Clock::now() < until) {
    }
    if (m_removed->load()) ++*m_late;
    source->Receive(m_buffer, kBuffer);
  }

  static constexpr DWORD kBuffer = 8;
  std::atomic<int> m_completions{0};

 private:
  std::uint8_t* const m_buffer;
  std::atomic<bool>* const m_removed;
  std::atomic<int>* const m_late;
};

// Taking the listener off a busy channel from another thread; then freeing it, with the receive
// buffer: either the buffer outlives the channel's Close, or (as the telnet front end does) the
// channel is closed first and the buffer freed with the listener. ASan sees a late completion or
// a late read into the freed buffer.
TEST_F(StreamChannelTest, SetListenerNullFromAnotherThreadWaitsForTheRunningCompletion) {
  std::atomic<int> late{0};
  const std::string data = Pattern(4096);
  for (int round = 0; round < 20; ++round) {
    const bool closeFirst = round % 2 == 1;
    Connection c = Connect();
    ASSERT_NE(c.channel, nullptr);
    std::atomic<bool> removed{false};
    auto* buffer = new std::uint8_t[SlowListener::kBuffer];
    auto* listener = new SlowListener(buffer, &removed, &late);
    c.channel->SetListener(listener);
    ASSERT_TRUE(c.channel->Receive(buffer, SlowListener::kBuffer));
    ASSERT_TRUE(WriteAll(c.client, data.data(), data.size()));
    ASSERT_TRUE(WaitFor([&] { return listener->m_completions >= 3 + round % 5; }));
    if (closeFirst) c.channel->Close();
    c.channel->SetListener(nullptr);
    removed = true;
    delete listener;
    if (closeFirst) delete[] buffer;
    c.channel->Close();
    if (!closeFirst) delete[] buffer;
    c.channel->Release();
    close(c.client);
  }
  EXPECT_EQ(late, 0);
}

TEST_F(StreamChannelTest, ConcurrentSendsNeverInterleave) {
  // The sending side has a small, fixed send buffer, so every message goes out in several writes.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int sendBuffer = 8192;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(m_server.LocalPort());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  CStreamChannel* sender = AdoptStreamChannel(fd);
  ASSERT_NE(sender, nullptr);
  CStreamChannel* receiver = m_server.Accept(nullptr);
  ASSERT_NE(receiver, nullptr);
  Collector collector(65536);
  ASSERT_TRUE(collector.Start(receiver));

  constexpr std::size_t kMessage = 65536;
  constexpr int kMessages = 40;
  std::thread senders[2];
  for (int id = 0; id < 2; ++id) {
    senders[id] = std::thread([&, id] {
      const std::string message(kMessage, static_cast<char>('a' + id));
      for (int i = 0; i < kMessages; ++i) {
        DWORD sent = 0;
        EXPECT_TRUE(sender->Send(message.data(), kMessage, &sent));
        EXPECT_EQ(sent, kMessage);
      }
    });
  }
  for (std::thread& t : senders) t.join();
  ASSERT_TRUE(WaitFor([&] { return collector.Size() == 2 * kMessage * kMessages; }));
  const std::string received = collector.Bytes();
  for (std::size_t at = 0; at < received.size(); at += kMessage) {
    std::string_view message(received.data() + at, kMessage);
    ASSERT_EQ(message.find_first_not_of(message[0]), std::string_view::npos) << "interleaved at " << at;
  }
  sender->Release();
  ASSERT_TRUE(WaitFor([&] { return collector.Ends() == 1; }));
  receiver->Release();
}

TEST_F(StreamChannelTest, SendToAClosedPeerFailsWithoutSigpipe) {
  Connection c = Connect();
  ASSERT_NE(c.channel, nullptr);
  close(c.client);
  // The first sends may still be taken before the peer's reset arrives; a SIGPIPE would end
  // the process here.
  const std::string block(1024, 'x');
  EXPECT_TRUE(WaitFor([&] { return !c.channel->Send(block.data(), 1024, nullptr); }));
  c.channel->Release();
}

TEST_F(StreamChannelTest, StalledPeerFailsSendsAtOnceUntilItReadsAgain) {
  constexpr DWORD kTimeoutMs = 150;
  Connection c = Connect(4096);
  ASSERT_NE(c.channel, nullptr);
  ASSERT_TRUE(c.channel->SetSendTimeout(kTimeoutMs));
  const std::string chunk(65536, 's');

  // Fill everything between the two ends; the first send that finds no room waits out the
  // time-out and fails, reporting what it got out.
  Clock::duration failedAfter{};
  DWORD sent = 0;
  bool failed = false;
  for (int i = 0; i < 2000 && !failed; ++i) {
    auto start = Clock::now();
    failed = !c.channel->Send(chunk.data(), static_cast<DWORD>(chunk.size()), &sent);
    failedAfter = Clock::now() - start;
  }
  ASSERT_TRUE(failed);
  EXPECT_LT(sent, chunk.size());
  EXPECT_GE(failedAfter, milliseconds(kTimeoutMs - 10));
  EXPECT_LT(failedAfter, milliseconds(kTimeoutMs + 2000));

  // While the peer still reads nothing, sends fail without waiting.
  auto start = Clock::now();
  for (int i = 0; i < 100; ++i) {
    EXPECT_FALSE(c.channel->Send("late", 4, &sent));
    EXPECT_EQ(sent, 0u);
  }
  EXPECT_LT(Clock::now() - start, milliseconds(kTimeoutMs * 3));
  EXPECT_TRUE(c.channel->IsOpen());

  // Once the peer reads, sends go out again.
  std::vector<char> drain(1 << 16);
  EXPECT_TRUE(WaitFor([&] {
    while (ReadNow(c.client, drain.data(), drain.size()) > 0) {
    }
    return c.channel->Send("back", 4, &sent);
  }));
  EXPECT_EQ(sent, 4u);
  EXPECT_TRUE(c.channel->Send("again", 5, &sent));
  c.channel->Release();
  close(c.client);
}

TEST_F(StreamChannelTest, ManyConnectionsShareTheFixedIoThreads) {
  constexpr int kConnections = 500;
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_cur < 2 * kConnections + 64) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 2 * kConnections + 64);
    setrlimit(RLIMIT_NOFILE, &files);
  }
  if (files.rlim_cur < 2 * kConnections + 64) GTEST_SKIP() << "too few file descriptors";

  std::atomic<int> completions{0};
  struct Counter : CChannelIface {
    explicit Counter(std::atomic<int>* count) : m_count(count) {}
    void OnChannelRx(CStreamChannel*, DWORD error, const std::uint8_t*, DWORD count) override {
      if (error == 0 && count == 1) ++*m_count;
    }
    std::atomic<int>* m_count;
  } counter(&completions);

  std::vector<Connection> connections;
  std::vector<std::uint8_t> buffers(kConnections);
  int baseline = 0;
  for (int i = 0; i < kConnections; ++i) {
    connections.push_back(Connect());
    ASSERT_NE(connections.back().channel, nullptr);
    connections.back().channel->SetListener(&counter);
    ASSERT_TRUE(connections.back().channel->Receive(&buffers[i], 1));
    if (i == 0) baseline = ThreadCount();  // the I/O threads run from the first receive on
  }
  EXPECT_EQ(ThreadCount(), baseline);
  for (Connection& c : connections) ASSERT_TRUE(WriteAll(c.client, "!", 1));
  EXPECT_TRUE(WaitFor([&] { return completions == kConnections; }));
  EXPECT_EQ(ThreadCount(), baseline);
  for (Connection& c : connections) {
    c.channel->Close();
    c.channel->SetListener(nullptr);
    c.channel->Release();
    close(c.client);
  }
}

TEST_F(StreamChannelTest, FactoryConnectsAndAdopts) {
  CStreamChannel* client = ConnectStreamChannel("127.0.0.1", m_server.LocalPort());
  ASSERT_NE(client, nullptr);
  CStreamChannel* accepted = m_server.Accept(nullptr);
  ASSERT_NE(accepted, nullptr);
  EXPECT_TRUE(client->SetNoDelay(true));
  Collector collector;
  ASSERT_TRUE(collector.Start(accepted));
  EXPECT_TRUE(client->Send("hello", 5, nullptr));
  EXPECT_TRUE(WaitFor([&] { return collector.Size() == 5; }));
  EXPECT_EQ(collector.Bytes(), "hello");
  client->Release();  // closes the socket: the other side ends
  EXPECT_TRUE(WaitFor([&] { return collector.Ends() == 1; }));
  accepted->Release();

  EXPECT_EQ(ConnectStreamChannel("not an address", 1), nullptr);
  EXPECT_EQ(ConnectStreamChannel("127.0.0.1", 0), nullptr);
  CStreamChannelServer closed;
  ASSERT_TRUE(closed.Open("127.0.0.1", 0));
  const std::uint16_t refused = closed.LocalPort();
  closed.Close();
  EXPECT_EQ(ConnectStreamChannel("127.0.0.1", refused), nullptr);

  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  EXPECT_EQ(AdoptStreamChannel(-1), nullptr);
  CStreamChannel* adopted = AdoptStreamChannel(pair[0]);
  ASSERT_NE(adopted, nullptr);
  DWORD sent = 0;
  EXPECT_TRUE(adopted->Send("abc", 3, &sent));
  EXPECT_EQ(sent, 3u);
  char got[3];
  EXPECT_EQ(recv(pair[1], got, 3, MSG_WAITALL), 3);
  adopted->Release();
  EXPECT_EQ(recv(pair[1], got, 1, 0), 0);  // the adopted socket was closed with the channel
  close(pair[1]);
}

}  // namespace
