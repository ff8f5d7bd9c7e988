// The demo host as an operator runs it: its options, and its life from start to `stop` or a signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "tests/TcpTestClient.h"
#include "tests/TestSupport.h"

extern char** environ;

namespace {

using testing_support::FreeTcpPort;
using testing_support::RunChild;
using testing_support::TcpTestClient;

TEST(DemoHost, OptionsAreCheckedBeforeAnythingStarts) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* output;
  };
  const Case cases[] = {
      {{"--help"}, 0, "--module PATH"},
      {{"--bogus"}, 2, "unknown option '--bogus'"},
      {{"--port", "65536"}, 2, "bad port '65536'"},
      {{"--port"}, 2, "option --port needs a value"},
      {{"--module", "/nonexistent.so"}, 2, "cannot load module '/nonexistent.so'"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{DEMO_HOST};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string output;
    EXPECT_EQ(RunChild(argv, &output), c.status) << c.args[0];
    EXPECT_NE(output.find(c.output), std::string::npos) << output;
  }
}

// Runs the host on a free port; Wait gives its exit status (-1 if it is still running).
class RunningHost {
 public:
  explicit RunningHost(const std::vector<std::string>& extra) : m_port(FreeTcpPort()) {
    std::vector<std::string> args{DEMO_HOST, "--port", std::to_string(m_port)};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&m_pid, DEMO_HOST, nullptr, nullptr, argv.data(), environ) != 0) m_pid = -1;
  }
  ~RunningHost() {
    if (m_pid > 0 && Wait(std::chrono::milliseconds(0)) == -1) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }
  std::unique_ptr<TcpTestClient> Connect() { return testing_support::ConnectGreeted(m_port, "Greetings!"); }
  int Wait(std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    int status = 0;
    bool ended = testing_support::WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, deadline);
    if (!ended) return -1;
    m_pid = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  pid_t Pid() const { return m_pid; }

 private:
  std::uint16_t m_port;
  pid_t m_pid = -1;
};

TEST(DemoHost, ServesItsModulesUntilStop) {
  testing_support::ScopedRegistry registry;
  RunningHost host({"--module", EXAMPLE_ORDERS, "--password", "secret"});
  auto client = host.Connect();
  ASSERT_TRUE(client && client->Send("secret\r\n"));
  std::size_t mark = client->Mark();
  ASSERT_TRUE(client->Send("help\r\n") && client->WaitForText("Console commands:", mark));
  ASSERT_TRUE(client->Send("stop\r\n"));
  EXPECT_EQ(host.Wait(), 0);
}

TEST(DemoHost, EndsCleanlyOnSigterm) {
  testing_support::ScopedRegistry registry;
  RunningHost host({});
  ASSERT_TRUE(host.Connect());
  kill(host.Pid(), SIGTERM);
  EXPECT_EQ(host.Wait(), 0);
}

}  // namespace
