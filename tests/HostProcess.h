// A host process run as a child by a test, and telnet clients for it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/TcpTestClient.h"
#include "tests/TestSupport.h"

extern char** environ;

namespace testing_support {

// A host run as a child: its standard input a pipe whose end ends the host, its output (stdout
// and stderr) kept in a file. `environment` entries ("NAME=value") come before the test's own.
class HostProcess {
 public:
  explicit HostProcess(std::vector<std::string> args, const std::vector<std::string>& environment = {}) {
    int input[2];
    if (pipe2(input, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> variables = environment;
    for (char** entry = environ; *entry != nullptr; ++entry) variables.emplace_back(*entry);
    std::vector<char*> argv, envp;
    for (std::string& arg : args) argv.push_back(arg.data());
    for (std::string& variable : variables) envp.push_back(variable.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    m_input = input[1];
  }
  ~HostProcess() {
    EndInput();
    if (m_pid > 0 && Wait() == -1) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  pid_t Pid() const { return m_pid; }
  void EndInput() {
    if (m_input >= 0) close(m_input);
    m_input = -1;
  }
  std::string Output() const {
    std::ifstream in(m_output);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bool WaitForOutput(const std::string& text) {
    return testing_support::WaitFor([&] { return Output().find(text) != std::string::npos || Exited(); },
                                    std::chrono::seconds(30)) &&
           Output().find(text) != std::string::npos;
  }
  // A client past the greeting, or null when none got that far before the host ended.
  std::unique_ptr<TcpTestClient> Connect(std::uint16_t port, const std::string& greeting = "Greetings!") {
    return ConnectGreeted(port, greeting, [this] { return Exited(); });
  }
  // The exit status (128 + signal when killed by one), or -1 while it still runs.
  int Wait(std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    if (m_pid <= 0) return m_status;
    int status = 0;
    if (!testing_support::WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, deadline)) return -1;
    m_pid = 0;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_status;
  }
  bool Exited() { return Wait(std::chrono::milliseconds(0)) != -1; }

 private:
  TempDir m_dir;
  std::string m_output = m_dir.File("output");
  pid_t m_pid = -1;
  int m_status = -1;
  int m_input = -1;
};

}  // namespace testing_support
