// The demo host as an operator runs it: its options, and its end on a signal (its modules served
// until `stop` are the end-to-end tests' part).
#include <gtest/gtest.h>

#include "tests/HostProcess.h"

namespace {

using testing_support::FreeTcpPort;
using testing_support::RunChild;

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

TEST(DemoHost, EndsCleanlyOnSigterm) {
  testing_support::ScopedRegistry registry;
  const std::uint16_t port = FreeTcpPort();
  testing_support::HostProcess host({DEMO_HOST, "--port", std::to_string(port)});
  ASSERT_TRUE(host.Connect(port));
  kill(host.Pid(), SIGTERM);
  EXPECT_EQ(host.Wait(), 0);
}

}  // namespace
