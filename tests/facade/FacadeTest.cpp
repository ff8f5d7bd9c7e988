// The facades as hosts use them, each host a child process: the C entry point, the C++ class, the
// C# assembly under Mono; and the installed package, from CMake, pkg-config and Mono.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "tests/HostProcess.h"

namespace {

using testing_support::FreeTcpPort;
using testing_support::HostProcess;
using testing_support::RunChild;
using testing_support::TcpTestClient;
using testing_support::TempDir;

bool AnswersHelp(TcpTestClient& client) {
  std::size_t mark = client.Mark();
  return client.Send("help\r\n") && client.WaitForText("Console commands:\r\n", mark) &&
         client.WaitForText("  closeoutput   Close console output previously opened with saveoutput.\r\n", mark);
}

#ifdef MONO_HOST
// What Mono needs to run a host that finds the assembly in `assemblyDir`: under the sanitizers,
// their runtime loaded first, and no leak report on Mono's own allocations at its exit.
std::vector<std::string> MonoEnvironment(const std::string& assemblyDir) {
  std::vector<std::string> environment{"MONO_PATH=" + assemblyDir};
#ifdef MONO_PRELOAD
  environment.insert(environment.end(), {"LD_PRELOAD=" MONO_PRELOAD, "ASAN_OPTIONS=detect_leaks=0"});
#endif
  return environment;
}
#endif

// Each console runs one worker thread of that name.
int ConsolesIn(pid_t pid) {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    count += std::getline(comm, name) && name == "Diagnostic";
  }
  return count;
}

// Sockets listening on the port, over IPv4.
int ListenersOn(std::uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line, slot, local, remote, state;
  int count = 0;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    fields >> slot >> local >> remote >> state;
    std::size_t colon = local.find(':');
    count += state == "0A" && colon != std::string::npos && std::stoul(local.substr(colon + 1), nullptr, 16) == port;
  }
  return count;
}

// Runs a host, its port and a DefaultPort value appended to its command line: once it says it
// started, it has one console, listening on its port only and answering two clients; then it ends
// cleanly when its input does.
void ExpectServes(std::vector<std::string> command, const std::vector<std::string>& environment = {}) {
  testing_support::ScopedRegistry registry;
  std::uint16_t port = FreeTcpPort(), defaultPort = FreeTcpPort();
  command.insert(command.end(), {std::to_string(port), std::to_string(defaultPort)});
  HostProcess host(command, environment);
  ASSERT_TRUE(host.WaitForOutput("started")) << host.Output();
  auto first = host.Connect(port);
  ASSERT_TRUE(first && AnswersHelp(*first)) << host.Output();
  auto second = host.Connect(port);
  ASSERT_TRUE(second && AnswersHelp(*second) && AnswersHelp(*first));
  EXPECT_EQ(ConsolesIn(host.Pid()), 1);
  EXPECT_EQ(ListenersOn(port), 1);
  EXPECT_EQ(ListenersOn(defaultPort), 0) << "DefaultPort was read";
  host.EndInput();
  EXPECT_EQ(host.Wait(), 0) << host.Output();
}

TEST(Facades, CHost) { ExpectServes({C_HOST}); }

// Started from racing threads.
TEST(Facades, CppHost) { ExpectServes({CPP_HOST}); }

#ifdef MONO_HOST
// Mono runs the host as a .NET host; the assembly's .config maps the library to its build.
TEST(Facades, MonoHost) { ExpectServes({MONO, MONO_HOST}, MonoEnvironment(INTEROP_DIR)); }
#endif

// The package installed into a prefix of its own, then used from there only.
class Package : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string output;
    ASSERT_EQ(RunChild({CMAKE, "--install", BUILD_DIR, "--prefix", m_prefix}, &output, 120), 0) << output;
  }
  TempDir m_dir;
  const std::string m_prefix = m_dir.File("prefix");
  testing_support::ScopedRegistry m_registry;
};

TEST_F(Package, HostAndModuleBuiltWithFindPackageWork) {
  std::string build = m_dir.File("build"), output;
  ASSERT_EQ(RunChild({CMAKE, "-S", PACKAGE_PROJECT, "-B", build, "-G", GENERATOR, "-DCMAKE_PREFIX_PATH=" + m_prefix,
                      "-DCMAKE_CXX_COMPILER=" CXX_COMPILER, "-DCMAKE_CXX_FLAGS=" SANITIZE_FLAGS,
                      "-DCMAKE_EXE_LINKER_FLAGS=" SANITIZE_FLAGS, "-DCMAKE_SHARED_LINKER_FLAGS=" SANITIZE_FLAGS},
                     &output, 120),
            0)
      << output;
  ASSERT_EQ(RunChild({CMAKE, "--build", build}, &output, 240), 0) << output;

  std::uint16_t port = FreeTcpPort();
  HostProcess host({build + "/package_host", std::to_string(port), build + "/libpackage_module.so"});
  auto client = host.Connect(port, "Package host on port " + std::to_string(port));
  ASSERT_TRUE(client && AnswersHelp(*client)) << host.Output();
  std::size_t mark = client->Mark();
  ASSERT_TRUE(client->Send("dbg ?\r\n") && client->WaitForText("libpackage_module.so", mark) &&
              client->WaitForText("PackageTrace", mark))
      << client->Received().substr(mark);
  ASSERT_TRUE(client->Send("stop\r\n"));
  EXPECT_EQ(host.Wait(), 0) << host.Output();

  // The installed tools find the library beside them.
  ASSERT_EQ(RunChild({m_prefix + "/bin/diagconsole-host", "--help"}, &output), 0) << output;
}

TEST_F(Package, CHostBuiltWithPkgConfigWorks) {
  std::string host = m_dir.File("c_host"), output;
  std::string command = "PKG_CONFIG_PATH=" + m_prefix + "/" LIBDIR "/pkgconfig; export PKG_CONFIG_PATH; " C_COMPILER
                        " -std=c99 -Wall -Werror " SANITIZE_FLAGS " -o " + host + " " C_HOST_SOURCE
                        " $(" PKG_CONFIG " --cflags --libs tolvane-console) -Wl,-rpath," + m_prefix + "/" LIBDIR;
  ASSERT_EQ(RunChild({"sh", "-c", command}, &output, 120), 0) << command << "\n" << output;
  ExpectServes({host});
}

#ifdef MONO_HOST
TEST_F(Package, MonoHostBuiltWithPkgConfigWorks) {
  std::string program = m_dir.File("FacadeHost.exe"), output;
  std::string command = "PKG_CONFIG_PATH=" + m_prefix + "/" LIBDIR "/pkgconfig; export PKG_CONFIG_PATH; " MCS
                        " -nologo -pkg:tolvane-interop -out:" + program + " " MONO_HOST_SOURCE;
  ASSERT_EQ(RunChild({"sh", "-c", command}, &output, 120), 0) << command << "\n" << output;
  ExpectServes({MONO, program}, MonoEnvironment(m_prefix + "/" LIBDIR "/cli/tolvane"));
}
#endif

}  // namespace
