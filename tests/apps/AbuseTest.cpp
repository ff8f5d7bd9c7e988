// The demo host abused over the wire: a thousand connections at once, ten thousand connect-and-close
// cycles, 10 MB of random bytes, and lines typed faster than the console runs them. Each time the
// host keeps its threads, gives back what it took, and goes on serving the other clients.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <random>

#include "tests/HostProcess.h"

namespace {

using testing_support::FreeTcpPort;
using testing_support::TcpTestClient;
using testing_support::WaitFor;

const std::string kHelpEnd = "                Syntax: closeoutput\r\n";

// ThreadSanitizer makes the host several times slower: there the floods are a fifth as large and
// the host has longer to catch up.
#if defined(__SANITIZE_THREAD__)
constexpr int kScale = 5;
#else
constexpr int kScale = 1;
#endif
constexpr auto kCatchUp = std::chrono::seconds(30 * kScale);

// The client types `help` and gets the whole listing. The line is typed again while no answer
// came: the host may be working off a flood with its console's queue full, and a line that finds
// no room there is dropped.
bool AnswersHelp(TcpTestClient& client) {
  const std::size_t mark = client.Mark();
  const auto end = std::chrono::steady_clock::now() + kCatchUp;
  while (std::chrono::steady_clock::now() < end) {
    if (!client.Send("help\r\n")) return false;
    if (client.WaitForText(kHelpEnd, mark, std::chrono::seconds(3 * kScale))) return true;
  }
  return false;
}

// Entries of /proc/<pid>/<folder> (task: threads, fd: descriptors).
long CountOf(pid_t pid, const char* folder) {
  std::error_code error;
  std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/" + folder, error), end;
  return error ? -1 : std::distance(it, end);
}

long ResidentKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

bool SetFdLimit(rlim_t soft) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (soft > limit.rlim_max) limit.rlim_max = soft;  // allowed to root only
  limit.rlim_cur = soft;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// The demo host on a free port; with `fdLimit`, it may hold no more descriptors than that.
struct Host {
  explicit Host(rlim_t fdLimit = 0) {
    rlimit own{};
    getrlimit(RLIMIT_NOFILE, &own);
    if (fdLimit != 0) SetFdLimit(fdLimit);  // inherited by the child only: restored below
    process = std::make_unique<testing_support::HostProcess>(
        std::vector<std::string>{DEMO_HOST, "--port", std::to_string(port)});
    if (fdLimit != 0) setrlimit(RLIMIT_NOFILE, &own);
  }
  std::unique_ptr<TcpTestClient> Connect() { return process->Connect(port); }
  pid_t Pid() const { return process->Pid(); }
  // A fresh client is greeted and gets the whole help listing.
  bool Serves() {
    auto client = Connect();
    return client && AnswersHelp(*client);
  }

  testing_support::ScopedRegistry registry;
  std::uint16_t port = FreeTcpPort();
  std::unique_ptr<testing_support::HostProcess> process;
};

TEST(Abuse, AThousandConnectionsAtOnceAreServedOrRefusedNeverLeftHanging) {
  ASSERT_TRUE(SetFdLimit(4096)) << "this test needs 2,000 descriptors";
  Host host(512);  // so that the host runs out of descriptors before the thousandth connection
  ASSERT_TRUE(host.Serves());
  const long threads = CountOf(host.Pid(), "task");
  std::vector<std::unique_ptr<TcpTestClient>> clients;
  for (int i = 0; i < 1000; ++i) clients.push_back(std::make_unique<TcpTestClient>(host.port));
  int served = 0, refused = 0;
  for (auto& client : clients) {
    ASSERT_TRUE(client->Connected());
    ASSERT_TRUE(WaitFor([&] {
      client->Pump(10);
      return client->PeerClosed() || client->Received().find("Greetings!") != std::string::npos;
    }, kCatchUp)) << "connection " << served + refused << " neither greeted nor refused";
    ++(client->PeerClosed() ? refused : served);
  }
  EXPECT_GE(served, 400);
  EXPECT_GE(refused, 1);
  EXPECT_EQ(CountOf(host.Pid(), "task"), threads);
  clients.clear();
  EXPECT_TRUE(host.Serves());
}

TEST(Abuse, TenThousandConnectAndCloseCyclesLeaveNothingBehind) {
  Host host;
  ASSERT_TRUE(host.Serves());
  // Closed after the greeting, so that the host never has more than one to deal with: what it
  // keeps then is what a connection leaves behind, not the high water of a backlog.
  auto cycles = [&](int count, bool greeted) {
    for (int i = 0; i < count; ++i) {
      TcpTestClient client(host.port);
      if (greeted) {
        ASSERT_TRUE(client.WaitForText("Greetings!"));
      }
    }
  };
  cycles(1000, true);  // the allocator's arenas reach their working size
  const long fds = CountOf(host.Pid(), "fd"), rss = ResidentKb(host.Pid());
  cycles(10000 / kScale, true);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // (The sanitizers hold freed memory back on purpose.)
  EXPECT_LE(ResidentKb(host.Pid()), rss + 2048) << "10,000 connections left memory behind";
#else
  (void)rss;
#endif
  // Closed at once, most of them before the host took them.
  cycles(10000 / kScale, false);
  EXPECT_TRUE(WaitFor([&] { return CountOf(host.Pid(), "fd") <= fds; }, kCatchUp))
      << CountOf(host.Pid(), "fd") << " descriptors, " << fds << " before";
  EXPECT_TRUE(host.Serves());
}

TEST(Abuse, TenMegabytesOfRandomBytesLeaveAnotherClientServed) {
  Host host;
  auto noisy = host.Connect();
  ASSERT_TRUE(noisy);
  std::thread flood([&] {
    std::mt19937 random(11);
    std::string block(65536, '\0');
    for (int sent = 0; sent < 10 * 1024 * 1024 / kScale; sent += static_cast<int>(block.size())) {
      for (char& c : block) c = static_cast<char>(random());
      // No Ctrl-C, which would end the connection at once; no line that could be `stop` or `crash`
      // (a random line never is, but a seed is not a proof).
      for (char& c : block)
        if (c == 3 || c == 's' || c == 'c' || c == 'S' || c == 'C') c = 'x';
      if (!noisy->Send(block)) break;
      noisy->Pump(0);
    }
  });
  auto calm = host.Connect();
  ASSERT_TRUE(calm);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(AnswersHelp(*calm)) << "listing " << i;
  flood.join();
  EXPECT_TRUE(host.Serves());
  EXPECT_FALSE(host.process->Exited());
}

TEST(Abuse, LinesTypedFasterThanTheConsoleRunsThemLeaveEveryoneServed) {
  Host host;
  auto flooder = host.Connect(), other = host.Connect();
  ASSERT_TRUE(flooder && other);
  // 20,000 lines in one burst: twice what the console's queue holds. Those that find it full are
  // dropped; how many do depends on how fast the console keeps up, none on a quick machine.
  std::string burst;
  for (int i = 0; i < 20000; ++i) burst += "x\r\n";
  ASSERT_TRUE(flooder->Send(burst));
  EXPECT_TRUE(AnswersHelp(*other));
  // The flooder is answered for what the queue took, and still served once it has read what was
  // sent to it (till then its output beyond the limit is dropped).
  for (std::size_t seen = 0; seen != flooder->Mark() || seen == 0;) {
    seen = flooder->Mark();
    flooder->Pump(2000);
  }
  const std::size_t mark = flooder->Mark();
  ASSERT_TRUE(flooder->Send("time\r\n"));
  ASSERT_TRUE(flooder->WaitForText("Timestamp print is", mark, kCatchUp));
  const std::string& text = flooder->Received();
  long answers = 0;
  for (std::size_t at = text.find("'x' is not"); at != std::string::npos; at = text.find("'x' is not", at + 1))
    ++answers;
  EXPECT_GT(answers, 0);
  EXPECT_LE(answers, 20000);
  EXPECT_TRUE(host.Serves());
}

}  // namespace
