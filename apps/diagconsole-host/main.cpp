// diagconsole-host: a demo host process. Loads the cooperating modules it is given, starts the
// diagnostic console and serves it until an operator types `stop` (or SIGINT or SIGTERM comes).
#include <dlfcn.h>
#include <signal.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "console/TDiagnosticServer.h"
#include "facade/TelnetServer.h"
#include "platform/Thread.h"
#include "platform/ThreadMessages.h"

namespace {

const char kUsage[] =
    "Usage: diagconsole-host [--port N] [--password TEXT] [--local-only] [--module PATH]...\n"
    "Starts a process that serves the Tolvane diagnostic console over telnet.\n"
    "\n"
    "  --port N         listen on port N of every address (1 to 65535; default 2323)\n"
    "  --password TEXT  a client must give TEXT before it may type commands (default: none)\n"
    "  --local-only     refuse clients that do not connect from this host's own addresses\n"
    "  --module PATH    load the shared object PATH as a cooperating module before the console\n"
    "                   starts (repeatable)\n"
    "  --help           show this text\n"
    "\n"
    "The process runs until an operator types `stop`, or until SIGINT or SIGTERM.\n";

struct Options {
  int port = 2323;
  std::string password;
  bool localOnly = false;
  std::vector<std::string> modules;
};

int Fail(const std::string& message) {
  std::fprintf(stderr, "diagconsole-host: %s\nTry 'diagconsole-host --help'.\n", message.c_str());
  return 2;
}

// 0 when parsed, 1 when the help was asked for, 2 (after the message) on a bad argument.
int Parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--help" || arg == "-h") return 1;
    if (arg == "--local-only") {
      options.localOnly = true;
    } else if (arg == "--port" || arg == "--password" || arg == "--module") {
      if (!hasValue) return Fail("option " + arg + " needs a value");
      std::string value = argv[++i];
      if (arg == "--password") {
        options.password = value;
      } else if (arg == "--module") {
        options.modules.push_back(value);
      } else {
        char* end = nullptr;
        long port = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || port < 1 || port > 65535) return Fail("bad port '" + value + "'");
        options.port = static_cast<int>(port);
      }
    } else {
      return Fail("unknown option '" + arg + "'");
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  switch (Parse(argc, argv, options)) {
    case 1:
      std::fputs(kUsage, stdout);
      return 0;
    case 2:
      return 2;
  }
  std::setlocale(LC_ALL, "");

  // SIGINT and SIGTERM are taken by a thread of their own, which asks the main loop to end; every
  // other thread, the console's included, inherits the blocked mask.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  platform::EnsureMessageQueue();
  const platform::DWORD mainThread = platform::CurrentThreadId();
  std::thread([ending, mainThread] {
    int signal = 0;
    sigwait(&ending, &signal);
    platform::PostThreadMessage(mainThread, platform::WM_QUIT, 0, 0);
  }).detach();

  for (const std::string& given : options.modules) {
    // By its full path, so that `sysinfo +` shows where it came from.
    char* full = realpath(given.c_str(), nullptr);
    std::string path = full != nullptr ? full : given;
    std::free(full);
    if (dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL) == nullptr) {
      std::fprintf(stderr, "diagconsole-host: cannot load module '%s': %s\n", path.c_str(), dlerror());
      return 2;
    }
  }

  if (options.password.empty() && !options.localOnly) {
    Tolvane::Telnet::Interop::TelnetServer::Instance().StartServer(options.port);
  } else {
    TTelnetServerConfig config;
    config.SetPort(static_cast<std::uint16_t>(options.port));
    config.Password = TStringEx(options.password.c_str());
    config.RemoteConnectionEnabled = !options.localOnly;
    TDiagnosticServer::GetInstance()->Start(&config);
  }
  std::printf("Tolvane console: telnet 127.0.0.1 %d\n", options.port);
  std::fflush(stdout);

  platform::ThreadMessage message;
  while (platform::GetMessage(&message)) platform::DispatchMessage(message);
  // The console lives until the process ends: end it here, without running the destructors of
  // objects that its threads and the modules' threads may still be using.
  std::fflush(stdout);
  std::_Exit(0);
}
