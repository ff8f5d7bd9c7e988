// diagconsole-cmd: runs console commands for a script. Connects to a process's diagnostic
// console over telnet, logs in, types each command, prints what it answered as plain text.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "apps/diagconsole-cmd/AnswerFilter.h"
#include "apps/diagconsole-cmd/TelnetDecoder.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "Usage: diagconsole-cmd [OPTION]... [--] COMMAND...\n"
    "Runs each COMMAND (one argument, one command line) in a process's Tolvane diagnostic console\n"
    "and prints what the console answered, as plain text.\n"
    "\n"
    "  --host H         connect to host H (default 127.0.0.1)\n"
    "  --port N         connect to port N (default 2323)\n"
    "  --password TEXT  give TEXT when the console asks for a password\n"
    "  --timeout S      give up when connecting, logging in or one command's answer takes longer\n"
    "                   than S seconds (default 10)\n"
    "  --quiet-ms N     a command's answer has ended when nothing has arrived for N milliseconds\n"
    "                   (default 300)\n"
    "  --help           show this text\n"
    "\n"
    "Options come before the commands. The console also shows every client the lines that the\n"
    "process's modules print; those that arrive while a command is answered are printed too.\n"
    "\n"
    "Exit status: 0 when every command was answered; 1 when the console cannot be reached, asks\n"
    "for a password that was not given, refuses the password, closes the connection before a\n"
    "command was taken, or does not answer in time; 2 for wrong arguments.\n";

struct Options {
  std::string host = "127.0.0.1";
  std::string port = "2323";
  std::string password;
  bool hasPassword = false;
  int timeoutMs = 10000;
  int quietMs = 300;
  std::vector<std::string> commands;
};

int Usage(const std::string& message) {
  std::fprintf(stderr, "diagconsole-cmd: %s\nTry 'diagconsole-cmd --help'.\n", message.c_str());
  return 2;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "diagconsole-cmd: %s\n", message.c_str());
  return 1;
}

// The console's line editor takes printable ASCII only: it drops other bytes, ends the line at a
// line break, completes at a TAB and hangs up at Ctrl-C. Such a line would not run as written.
bool IsTypable(const std::string& line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

bool ParseNumber(const std::string& text, double low, double high, double* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && errno == 0 && *value >= low && *value <= high;
}

// 0 when parsed, 1 when the help was asked for, 2 (after the message) on a bad argument.
int Parse(int argc, char** argv, Options& options) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;
    if (arg == "--help" || arg == "-h") return 1;
    if (arg != "--host" && arg != "--port" && arg != "--password" && arg != "--timeout" && arg != "--quiet-ms")
      return Usage("unknown option '" + arg + "'");
    if (i + 1 >= argc) return Usage("option " + arg + " needs a value");
    const std::string value = argv[++i];
    double number = 0;
    if (arg == "--host") {
      if (value.empty()) return Usage("empty host");
      options.host = value;
    } else if (arg == "--password") {
      if (!IsTypable(value)) return Usage("the password must be printable ASCII, as the console takes it");
      options.password = value;
      options.hasPassword = true;
    } else if (arg == "--port") {
      if (!ParseNumber(value, 1, 65535, &number) || number != static_cast<int>(number))
        return Usage("bad port '" + value + "'");
      options.port = std::to_string(static_cast<int>(number));
    } else if (arg == "--timeout") {
      if (!ParseNumber(value, 0.001, 86400, &number)) return Usage("bad timeout '" + value + "'");
      options.timeoutMs = static_cast<int>(number * 1000);
    } else {
      if (!ParseNumber(value, 1, 60000, &number) || number != static_cast<int>(number))
        return Usage("bad quiet time '" + value + "'");
      options.quietMs = static_cast<int>(number);
    }
  }
  for (; i < argc; ++i) {
    if (!IsTypable(argv[i]))
      return Usage("command " + std::to_string(options.commands.size() + 1) +
                   " holds a line break, a control or a non-ASCII character: the console takes one line "
                   "of printable ASCII");
    options.commands.emplace_back(argv[i]);
  }
  if (options.commands.empty()) return Usage("no command given");
  return 0;
}

int MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// Connects to the first address of host:port that answers before the deadline; -1 (with the
// reason in *error) when none does. The socket is left non-blocking.
int Connect(const Options& options, Clock::time_point deadline, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (int failed = getaddrinfo(options.host.c_str(), options.port.c_str(), &hints, &found); failed != 0) {
    *error = gai_strerror(failed);
    return -1;
  }
  int fd = -1;
  *error = "no address";
  for (addrinfo* at = found; at != nullptr && fd < 0; at = at->ai_next) {
    fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, at->ai_protocol);
    if (fd < 0) {
      *error = std::strerror(errno);
      continue;
    }
    int result = connect(fd, at->ai_addr, at->ai_addrlen);
    if (result != 0 && errno == EINPROGRESS) {
      pollfd entry{fd, POLLOUT, 0};
      // Because POSIX, poll may return early with EINTR; just poll again.
      while ((result = poll(&entry, 1, MillisecondsUntil(deadline))) < 0 && errno == EINTR) {
      }
      int code = ETIMEDOUT;
      socklen_t length = sizeof code;
      if (result > 0) getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length);
      errno = code;
      result = code == 0 ? 0 : -1;
    }
    if (result != 0) {
      *error = errno == ETIMEDOUT ? "timed out" : std::strerror(errno);
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  return fd;
}

// One connection to the console: what has arrived, decoded, and the waits for it.
class Session {
 public:
  enum class Wait { kQuiet, kClosed, kTimedOut };

  Session(int fd, const Options& options) : m_fd(fd), m_options(options) {}
  ~Session() { close(m_fd); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool Closed() const { return m_closed; }
  // Whether the connection ended with an error (a reset) rather than in good order.
  bool Reset() const { return m_reset; }
  // The text that has arrived since the last call.
  std::string Take() { return std::exchange(m_text, std::string()); }
  const std::string& Text() const { return m_text; }

  bool Send(const std::string& bytes, Clock::time_point deadline) {
    for (std::size_t done = 0; done < bytes.size();) {
      ssize_t n = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      pollfd entry{m_fd, POLLOUT, 0};
      if (n == 0 || errno != EAGAIN || poll(&entry, 1, MillisecondsUntil(deadline)) <= 0) return false;
    }
    return true;
  }

  // Reads what arrives within `waitMs`; whether anything did.
  bool Pump(int waitMs) {
    pollfd entry{m_fd, POLLIN, 0};
    int ready = 0;
    while (!m_closed && (ready = poll(&entry, 1, waitMs)) < 0 && errno == EINTR) {
    }
    if (ready <= 0) return false;
    bool any = false;
    // Bounded, so that a server that never stops sending cannot keep the deadlines from being seen.
    for (int reads = 0; reads < 64; ++reads) {
      char buffer[16384];
      ssize_t n = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) {
        m_closed = true;
        m_reset = n < 0;
        break;
      }
      any = true;
      std::string replies;
      m_decoder.Feed(buffer, static_cast<std::size_t>(n), &m_text, &replies);
      if (!replies.empty()) Send(replies, Clock::now() + std::chrono::milliseconds(m_options.timeoutMs));
    }
    return any || m_closed;
  }

  // Waits for the server to answer and then fall quiet for the quiet time, or to close the
  // connection; kTimedOut when neither happens before the deadline.
  Wait AwaitAnswer(Clock::time_point deadline) {
    bool answered = false;
    for (;;) {
      const int left = MillisecondsUntil(deadline);
      if (m_closed) return Wait::kClosed;
      if (left == 0) return Wait::kTimedOut;
      if (Pump(answered ? std::min(left, m_options.quietMs) : left))
        answered = true;
      else if (answered && left > m_options.quietMs)
        return Wait::kQuiet;
    }
  }

  // Waits until the text that has arrived ends with `tail` (an unfinished line), or the server
  // falls quiet after it has said something, or closes; whether the tail came.
  bool AwaitTail(const std::string& tail, Clock::time_point deadline) {
    bool answered = false;
    for (;;) {
      if (m_text.size() >= tail.size() && m_text.compare(m_text.size() - tail.size(), tail.size(), tail) == 0)
        return true;
      const int left = MillisecondsUntil(deadline);
      if (m_closed || left == 0) return false;
      if (Pump(answered ? std::min(left, m_options.quietMs) : left))
        answered = true;
      else if (answered)
        return false;
    }
  }

 private:
  int m_fd;
  const Options& m_options;
  diagcmd::TelnetDecoder m_decoder;
  std::string m_text;
  bool m_closed = false;
  bool m_reset = false;  // closed with an error rather than in good order
};

std::string Seconds(int ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
  return text;
}

// Reads the greeting and gives the password when the console asks for it; 0 when commands may
// be typed, else the exit code (after the message).
int LogIn(Session& session, const Options& options) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
  const bool asked = session.AwaitTail("Password:", deadline);
  if (session.Closed()) return Fail("the console closed the connection before it was ready");
  if (!asked) {
    if (session.Text().empty()) return Fail("the console sent nothing within " + Seconds(options.timeoutMs));
    session.Take();
    return 0;
  }
  if (!options.hasPassword) return Fail("the console asks for a password: give it with --password");
  session.Take();
  if (!session.Send(options.password + "\r\n", deadline)) return Fail("the connection failed while logging in");
  const Session::Wait wait = session.AwaitAnswer(deadline);
  if (wait == Session::Wait::kClosed || session.Text().find("Access denied") != std::string::npos)
    return Fail("the console refused the password");
  if (wait == Session::Wait::kTimedOut)
    return Fail("the console did not take the password within " + Seconds(options.timeoutMs));
  session.Take();
  return 0;
}

int Run(Session& session, const Options& options) {
  diagcmd::AnswerFilter answer;
  for (const std::string& command : options.commands) {
    if (session.Closed()) return Fail("the console closed the connection before '" + command + "'");
    const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
    answer.Begin(command);
    if (!session.Send(command + "\r\n", deadline))
      return Fail("the connection failed before '" + command + "' was sent");
    const Session::Wait wait = session.AwaitAnswer(deadline);
    std::string out;
    answer.Add(session.Take(), &out);
    answer.Finish(&out);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    // A command such as "stop" ends the process, and so the connection, perhaps before the echo
    // of the line has left it. A connection that ends in good order was read to its end first: a
    // peer that closes with bytes of ours unread resets it.
    if (wait == Session::Wait::kClosed && !answer.EchoSeen() && session.Reset())
      return Fail("the console closed the connection before it took '" + command + "'");
    if (wait == Session::Wait::kTimedOut)
      return Fail("the answer to '" + command + "' did not end within " + Seconds(options.timeoutMs));
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
  const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
  std::string error;
  const int fd = Connect(options, deadline, &error);
  if (fd < 0) return Fail("cannot connect to " + options.host + " port " + options.port + ": " + error);
  Session session(fd, options);
  if (int failed = LogIn(session, options); failed != 0) return failed;
  return Run(session, options);
}
