// The demo host as an operator runs it: its options, and its life from start to `stop` or a signal.
#include <gtest/gtest.h>

#include "tests/HostProcess.h"

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

// The host on a free port.
struct RunningHost : testing_support::HostProcess {
  explicit RunningHost(std::vector<std::string> extra, std::uint16_t port = FreeTcpPort())
      : HostProcess(Args(port, std::move(extra))), port(port) {}
  static std::vector<std::string> Args(std::uint16_t port, std::vector<std::string> extra) {
    extra.insert(extra.begin(), {DEMO_HOST, "--port", std::to_string(port)});
    return extra;
  }
  std::unique_ptr<TcpTestClient> Connect() { return HostProcess::Connect(port); }
  std::uint16_t port;
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
