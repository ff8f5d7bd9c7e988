// diagsoak: runs the demo host with both example modules as a child process and keeps it busy for
// a bounded time: clients connecting and leaving while they type commands, the orders module's
// traces raised to their highest level, a client that never reads, and a console capture opened
// and closed again and again. At the end it reports the host's memory, threads and descriptors,
// the commands that got their full answer, and the gaps between trace lines at a steady reader;
// it exits non-zero when anything went wrong.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/TcpTestClient.h"  // FreeTcpPort

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const char kGreeting[] = "Greetings!\n\r\r\n";
const char kHelpEnd1[] = "  closeoutput   Close console output previously opened with saveoutput.\r\n";
const char kHelpEnd2[] = "                Syntax: closeoutput\r\n";
const char kDropNotice[] = " lines of output were dropped ***";
const char* const kTraces[] = {"OrderBook", "Matching", "Gateway", "Persistence"};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A connected socket to 127.0.0.1:port, or -1.
int Dial(std::uint16_t port, int receiveBuffer = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Appends what is waiting on `fd` without blocking; false once the peer closed or failed.
bool Drain(int fd, std::string* into) {
  char buffer[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      if (into != nullptr) into->append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

// The host's figures from /proc.
long ProcStatusKb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  return -1;
}
long CountEntries(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  long n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

struct Sample {
  double at = 0;
  long rssKb = -1;
  long threads = -1;
  long fds = -1;
};
Sample Measure(pid_t pid, Clock::time_point start) {
  Sample s;
  s.at = Seconds(Clock::now() - start);
  s.rssKb = ProcStatusKb(pid, "VmRSS:");
  s.threads = CountEntries("/proc/" + std::to_string(pid) + "/task");
  s.fds = CountEntries("/proc/" + std::to_string(pid) + "/fd");
  return s;
}

// The host as a child: standard input a pipe held open, output into a file.
struct Host {
  pid_t pid = -1;
  int input = -1;
  int status = -1;  // exit status, 128 + signal when killed, -1 while it runs

  bool Start(const std::vector<std::string>& args, const std::string& output) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    bool ok = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[0]);
    input = pipeFds[1];
    if (!ok) pid = -1;
    return ok;
  }
  bool Exited() {
    if (pid <= 0) return true;
    int raw = 0;
    if (waitpid(pid, &raw, WNOHANG) != pid) return false;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    pid = 0;
    return true;
  }
  bool WaitExit(double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
      if (Exited()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Exited();
  }
  void Kill() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      pid = 0;
    }
  }
};

// Waits on `fd` until `done(text)` holds for what arrived since the start, or the deadline
// passes; meanwhile keeps the `others` sockets drained so that none of them stops reading.
template <typename Done>
bool Await(int fd, std::string& text, const std::vector<int>& others, Clock::time_point deadline, Done done) {
  std::vector<pollfd> entries;
  entries.push_back({fd, POLLIN, 0});
  for (int other : others)
    if (other >= 0 && other != fd) entries.push_back({other, POLLIN, 0});
  for (;;) {
    if (done(text)) return true;
    auto now = Clock::now();
    if (now >= deadline) return false;
    int wait = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
    if (poll(entries.data(), entries.size(), std::min(wait, 100)) < 0 && errno != EINTR) return false;
    for (std::size_t i = 1; i < entries.size(); ++i)
      if (entries[i].revents != 0) Drain(entries[i].fd, nullptr);
    if (entries[0].revents != 0 && !Drain(fd, &text)) return done(text);
  }
}

// Finds each of `parts` in order after `from`.
bool InOrder(const std::string& text, std::size_t from, std::initializer_list<const char*> parts) {
  for (const char* part : parts) {
    std::size_t at = text.find(part, from);
    if (at == std::string::npos) return false;
    from = at + std::strlen(part);
  }
  return true;
}

// A command's answer is due within 10 s. One that is not there by then is waited for 30 s more
// and counted late when it comes, dropped when the host's notice of dropped lines comes instead
// (the connection had more than its output limit waiting, which is how a client that does not
// keep up loses lines), and lost when neither comes.
struct CommandStats {
  std::atomic<long> sent{0};
  std::atomic<long> answered{0};
  std::atomic<long> late{0};
  std::atomic<long> dropped{0};
  std::atomic<long> lost{0};
  std::atomic<long> slowestMs{0};  // of the answers that came, late ones included
};

struct Shared {
  std::uint16_t port = 0;
  pid_t hostPid = 0;
  std::atomic<bool> stop{false};
  CommandStats help, dbg, sysinfo, time;
  std::atomic<long> connections{0};
  std::atomic<long> connectFailures{0};
  Clock::time_point start = Clock::now();
  std::mutex failureLock;
  std::vector<std::string> failures;  // the first few, for the report

  void Fail(const std::string& what) {
    std::lock_guard<std::mutex> hold(failureLock);
    char when[32];
    std::snprintf(when, sizeof when, "at %.1f s: ", Seconds(Clock::now() - start));
    if (failures.size() < 20) failures.push_back(when + what);
  }
};

// One command typed on a fresh connection's socket and its answer checked.
bool RunCommand(Shared& shared, int fd, const std::vector<int>& others, int which) {
  static const char* const kLines[] = {"help", "dbg ?", "sysinfo +", "time"};
  CommandStats* stats[] = {&shared.help, &shared.dbg, &shared.sysinfo, &shared.time};
  std::string text;
  ++stats[which]->sent;
  if (!SendAll(fd, std::string(kLines[which]) + "\r\n")) {
    shared.Fail(std::string("could not send '") + kLines[which] + "'");
    return false;
  }
  const std::string pidLine = "Process ID          : " + std::to_string(shared.hostPid);
  auto done = [&](const std::string& t) {
    switch (which) {
      case 0:
        return InOrder(t, 0, {"help\r\n", kHelpEnd1, kHelpEnd2});
      case 1:
        return InOrder(t, 0, {"dbg ?\r\n", "Available debugging in libexample_orders.so:",
                              "Available debugging in diagconsole-host:", "Exception"});
      case 2:
        return InOrder(t, 0, {"sysinfo +\r\n", pidLine.c_str(), "libexample_legacy.so", "Greetings!"});
      default:
        return InOrder(t, 0, {"time\r\n", "Timestamp print is "}) &&
               (t.find("Timestamp print is enabled") != std::string::npos ||
                t.find("Timestamp print is disabled") != std::string::npos);
    }
  };
  const auto typed = Clock::now();
  auto answeredAt = [&] {
    long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - typed).count());
    for (long seen = stats[which]->slowestMs; ms > seen && !stats[which]->slowestMs.compare_exchange_weak(seen, ms);) {
    }
  };
  if (Await(fd, text, others, typed + std::chrono::seconds(10), done)) {
    answeredAt();
    ++stats[which]->answered;
    return true;
  }
  const bool settled = Await(fd, text, others, typed + std::chrono::seconds(40), [&](const std::string& t) {
    return done(t) || t.find(kDropNotice) != std::string::npos;
  });
  if (settled && done(text)) {
    answeredAt();
    ++stats[which]->late;
  } else if (settled) {
    ++stats[which]->dropped;
  } else {
    ++stats[which]->lost;
    shared.Fail(std::string("no answer to '") + kLines[which] + "' and no notice of dropped lines within 40 s (got " +
                std::to_string(text.size()) + " bytes)");
  }
  return false;
}

// A client thread: holds `slots` connections open, and in turn closes one, connects it again,
// waits for the greeting and types the four commands on it; the others are read and discarded.
void ChurnThread(Shared& shared, int slots, int offset) {
  std::vector<int> fds(static_cast<std::size_t>(slots), -1);
  int which = offset % 4;
  for (std::size_t i = 0; !shared.stop; i = (i + 1) % fds.size()) {
    if (fds[i] >= 0) close(fds[i]);
    fds[i] = Dial(shared.port);
    if (fds[i] < 0) {
      ++shared.connectFailures;
      shared.Fail("connect failed");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    ++shared.connections;
    std::string greeting;
    if (!Await(fds[i], greeting, fds, Clock::now() + std::chrono::seconds(10),
               [](const std::string& t) { return t.find(kGreeting) != std::string::npos; })) {
      shared.Fail("no greeting within 10 s");
      close(fds[i]);
      fds[i] = -1;
      continue;
    }
    for (int n = 0; n < 4 && !shared.stop; ++n, which = (which + 1) % 4) {
      if (!RunCommand(shared, fds[i], fds, which)) {
        close(fds[i]);
        fds[i] = -1;
        break;
      }
    }
  }
  for (int fd : fds)
    if (fd >= 0) close(fd);
}

// The steady reader: raises the orders module's four traces to level 3, then reads everything and
// keeps the arrival time of each trace line.
struct Reader {
  int fd = -1;
  std::string pending;
  std::vector<double> lineGaps;  // seconds between consecutive trace lines
  std::vector<double> tickGaps;  // seconds between the first lines of consecutive ticks
  long lines = 0;
  long lost = 0;         // trace lines missing from the sequence of ticks
  long timeAnswers = 0;  // "Timestamp print is" lines seen (every client's `time` is shown to all)
  long greetings = 0;    // "Greetings!" seen after its own (every `sysinfo +` ends with one to all)
  long dropNotices = 0;  // the host's notices that it dropped lines for this connection
  long interleaved = 0;  // trace lines with other output inside them
  std::string firstInterleaved;
  long lastTick[4][4] = {};
  long newestTick = 0;
  Clock::time_point lastLine{}, lastTickStart{};
  Clock::time_point runStart = Clock::now();
  bool closed = false;

  void Take(Clock::time_point now) {
    std::size_t start = 0;
    for (;;) {
      std::size_t end = pending.find("\r\n", start);
      if (end == std::string::npos) break;
      Line(pending.substr(start, end - start), now);
      start = end + 2;
    }
    pending.erase(0, start);
  }
  void Line(const std::string& line, Clock::time_point now) {
    if (line.find("Timestamp print is ") != std::string::npos) ++timeAnswers;
    if (line.find(kDropNotice) != std::string::npos) ++dropNotices;
    for (std::size_t at = line.find("Greetings!"); at != std::string::npos; at = line.find("Greetings!", at + 1))
      ++greetings;
    for (int t = 0; t < 4; ++t) {
      std::string key = std::string(kTraces[t]) + " level ";
      std::size_t at = line.find(key);
      if (at == std::string::npos) continue;
      int level = 0;
      long tick = 0;
      int used = 0;
      if (std::sscanf(line.c_str() + at + key.size(), "%d: tick %ld%n", &level, &tick, &used) != 2 || level < 1 ||
          level > 3)
        continue;
      // A line another thread's output cut into: its tick is not to be trusted.
      if (at + key.size() + static_cast<std::size_t>(used) != line.size()) {
        if (interleaved++ == 0) firstInterleaved = line;
        continue;
      }
      ++lines;
      if (lastLine != Clock::time_point{}) lineGaps.push_back(Seconds(now - lastLine));
      lastLine = now;
      long& last = lastTick[t][level];
      if (last != 0 && tick > last + 1) lost += tick - last - 1;
      last = tick;
      if (tick > newestTick) {
        if (newestTick != 0) {
          tickGaps.push_back(Seconds(now - lastTickStart));
          if (tickGaps.back() > 3)
            std::printf("stall: tick %ld arrived %.3f s after tick %ld (at %.1f s into the run)\n", tick,
                        tickGaps.back(), newestTick, Seconds(now - runStart));
        }
        newestTick = tick;
        lastTickStart = now;
      }
    }
  }
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  std::size_t i = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

void PrintDistribution(const char* name, const std::vector<double>& v) {
  std::printf("%s (%zu): p50 %.3f s, p99 %.3f s, p99.9 %.3f s, max %.3f s\n", name, v.size(), Percentile(v, 50),
              Percentile(v, 99), Percentile(v, 99.9), v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()));
}

int Usage() {
  std::fputs(
      "Usage: diagsoak [--seconds N] [--clients N]\n"
      "Runs the demo host with the example modules and keeps it busy for N seconds (default 60)\n"
      "with N clients (default 200) connecting, typing commands and leaving; prints the host's\n"
      "figures and exits non-zero on a failure.\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  int clients = 200;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--seconds" || arg == "--clients") && i + 1 < argc) {
      int value = std::atoi(argv[++i]);
      if (value < 1) return Usage();
      (arg == "--seconds" ? seconds : clients) = value;
    } else {
      return Usage();
    }
  }
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);

  std::string pattern = (std::filesystem::temp_directory_path() / "diagsoak-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  const std::filesystem::path dir = pattern;
  setenv("TOLVANE_REGISTRY", (dir / "registry.db").c_str(), 1);
  const std::string logFile = (dir / "soak.log").string();

  Shared shared;
  shared.port = testing_support::FreeTcpPort();
  Host host;
  if (!host.Start({DEMO_HOST, "--port", std::to_string(shared.port), "--module", EXAMPLE_ORDERS, "--module",
                   EXAMPLE_LEGACY},
                  (dir / "host.out").string())) {
    std::fprintf(stderr, "diagsoak: cannot start %s\n", DEMO_HOST);
    return 1;
  }
  shared.hostPid = host.pid;
  std::printf("host pid %d on port %u, work folder %s\n", host.pid, shared.port, dir.c_str());
  std::vector<std::string> failures;

  // The steady reader, once the host listens.
  Reader reader;
  std::string text;
  for (int attempt = 0; attempt < 500 && reader.fd < 0 && !host.Exited(); ++attempt) {
    reader.fd = Dial(shared.port);
    if (reader.fd >= 0 && !Await(reader.fd, text, {}, Clock::now() + std::chrono::seconds(5),
                                 [](const std::string& t) { return t.find(kGreeting) != std::string::npos; })) {
      close(reader.fd);
      reader.fd = -1;
    }
    if (reader.fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (reader.fd < 0) {
    std::fprintf(stderr, "diagsoak: the host never greeted a client\n");
    host.Kill();
    return 1;
  }
  for (const char* trace : kTraces) {
    std::string line = std::string("dbg ") + trace + "++\r\n";
    std::string answer = std::string("Debug: ") + trace + "(3)";
    std::string got;
    if (!SendAll(reader.fd, line) ||
        !Await(reader.fd, got, {}, Clock::now() + std::chrono::seconds(10),
               [&](const std::string& t) { return t.find(answer) != std::string::npos; }))
      failures.push_back("trace " + std::string(trace) + " not raised to level 3");
  }

  const auto start = Clock::now();
  reader.runStart = start;
  shared.start = start;
  const auto end = start + std::chrono::seconds(seconds);
  Sample first = Measure(host.pid, start);
  std::printf("start: RSS %ld KB, threads %ld, fds %ld\n", first.rssKb, first.threads, first.fds);

  // The client that never reads, with a small receive buffer so that the host's side fills up.
  int silent = Dial(shared.port, 4096);
  if (silent < 0) failures.push_back("the silent client could not connect");

  // The churning clients: a few threads each holding its share of the connections.
  const int threads = std::min(8, clients);
  std::vector<std::thread> churn;
  for (int t = 0; t < threads; ++t)
    churn.emplace_back(ChurnThread, std::ref(shared), clients / threads + (t < clients % threads ? 1 : 0), t);

  // The capture client: opens the log, closes it again a moment later, every few seconds.
  std::atomic<long> captures{0}, capturesAnswered{0};
  std::thread capture([&] {
    int fd = -1;
    while (!shared.stop) {
      if (fd < 0) {
        fd = Dial(shared.port);
        std::string g;
        if (fd < 0 || !Await(fd, g, {}, Clock::now() + std::chrono::seconds(10),
                             [](const std::string& t) { return t.find(kGreeting) != std::string::npos; })) {
          shared.Fail("capture client: no greeting");
          if (fd >= 0) close(fd);
          fd = -1;
          std::this_thread::sleep_for(std::chrono::seconds(1));
          continue;
        }
      }
      ++captures;
      bool ok = true;
      for (const std::string& line : {"saveoutput " + logFile + " 0", std::string("closeoutput")}) {
        std::string got;
        // The echo of the whole line and its end show the console took it.
        ok = ok && SendAll(fd, line + "\r\n") &&
             Await(fd, got, {}, Clock::now() + std::chrono::seconds(10),
                   [&](const std::string& t) { return t.find(line + "\r\n") != std::string::npos; });
        for (int i = 0; i < 15 && !shared.stop; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          Drain(fd, nullptr);
        }
      }
      if (ok) {
        ++capturesAnswered;
      } else {
        shared.Fail("capture client: saveoutput/closeoutput not echoed within 10 s");
        close(fd);
        fd = -1;
      }
    }
    if (fd >= 0) close(fd);
  });

  // The main thread reads the steady reader's socket and samples the host every 10 s.
  std::vector<Sample> samples{first};
  auto nextSample = start + std::chrono::seconds(10);
  bool hostDied = false;
  auto readFor = [&](Clock::time_point until) {
    pollfd entry{reader.fd, POLLIN, 0};
    while (!reader.closed && Clock::now() < until) {
      // One read at a time, so that each line is stamped when it arrived, not when a long burst ended.
      if (poll(&entry, 1, 50) > 0) {
        char buffer[16384];
        ssize_t n = ::recv(reader.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) reader.closed = true;
        if (n > 0) reader.pending.append(buffer, static_cast<std::size_t>(n));
        reader.Take(Clock::now());
      }
    }
  };
  while (Clock::now() < end && !hostDied && !reader.closed) {
    readFor(std::min(end, nextSample));
    if (host.Exited()) hostDied = true;
    if (Clock::now() >= nextSample && !hostDied) {
      samples.push_back(Measure(host.pid, start));
      const Sample& s = samples.back();
      std::printf("%5.0f s: RSS %ld KB, threads %ld, fds %ld, connections %ld, trace lines %ld\n", s.at, s.rssKb,
                  s.threads, s.fds, shared.connections.load(), reader.lines);
      nextSample += std::chrono::seconds(10);
    }
  }
  // The clients wind down (a command under way still gets its answer) while the steady reader
  // goes on reading.
  shared.stop = true;
  std::atomic<bool> wound{false};
  std::thread windDown([&] {
    for (std::thread& t : churn) t.join();
    capture.join();
    wound = true;
  });
  while (!wound && !reader.closed) readFor(Clock::now() + std::chrono::milliseconds(100));
  windDown.join();
  // What was still on its way to the steady reader.
  readFor(Clock::now() + std::chrono::seconds(3));
  Sample last = hostDied ? Sample{} : Measure(host.pid, start);

  // The figures.
  std::printf("\n--- diagsoak, %d s, %d clients ---\n", seconds, clients);
  std::printf("connections made: %ld (connect failures %ld)\n", shared.connections.load(),
              shared.connectFailures.load());
  struct Named {
    const char* name;
    CommandStats* stats;
  } named[] = {{"help", &shared.help}, {"dbg ?", &shared.dbg}, {"sysinfo +", &shared.sysinfo}, {"time", &shared.time}};
  long lost = 0;
  for (const Named& n : named) {
    std::printf("%-10s sent %ld, full answer within 10 s %ld, later %ld (slowest %.1f s), dropped with notice %ld, "
                "lost %ld\n",
                n.name, n.stats->sent.load(), n.stats->answered.load(), n.stats->late.load(),
                static_cast<double>(n.stats->slowestMs) / 1000.0, n.stats->dropped.load(), n.stats->lost.load());
    lost += n.stats->lost;
  }
  std::printf("capture cycles (saveoutput ... 0, closeoutput): %ld, both taken %ld; log %s is %ju bytes\n",
              captures.load(), capturesAnswered.load(), logFile.c_str(),
              std::filesystem::exists(logFile) ? static_cast<std::uintmax_t>(std::filesystem::file_size(logFile)) : 0);
  std::printf("steady reader: trace lines %ld, lost from the tick sequence %ld, newest tick %ld\n", reader.lines,
              reader.lost, reader.newestTick);
  std::printf("steady reader: trace lines with other output inside %ld, notices of dropped lines %ld\n",
              reader.interleaved, reader.dropNotices);
  if (reader.interleaved != 0) std::printf("  the first of them: \"%s\"\n", reader.firstInterleaved.c_str());
  std::printf("steady reader: `time` answers seen %ld (time answered %ld), sysinfo greetings seen %ld (sysinfo "
              "answered %ld)\n",
              reader.timeAnswers, shared.time.answered.load(), reader.greetings, shared.sysinfo.answered.load());
  PrintDistribution("stall proxy, gap between consecutive trace lines", reader.lineGaps);
  PrintDistribution("gap between consecutive ticks (nominal 1 s)", reader.tickGaps);
  std::printf("start: RSS %ld KB, threads %ld, fds %ld\n", first.rssKb, first.threads, first.fds);
  std::printf("end:   RSS %ld KB, threads %ld, fds %ld\n", last.rssKb, last.threads, last.fds);

  // Flat: the end against the sample after the first minute (or after half the run, if shorter).
  double baseAt = seconds >= 120 ? 60.0 : seconds / 2.0;
  Sample base = samples.back();
  for (const Sample& s : samples)
    if (s.at >= baseAt - 1) {
      base = s;
      break;
    }
  if (!hostDied && base.rssKb > 0) {
    bool rssFlat = last.rssKb <= base.rssKb * 1.10 && last.rssKb >= base.rssKb * 0.90;
    bool threadsFlat = last.threads <= base.threads * 1.10 && last.threads >= base.threads * 0.90;
    std::printf("RSS at %.0f s %ld KB, at the end %ld KB: flat within 10%%: %s\n", base.at, base.rssKb, last.rssKb,
                rssFlat ? "PASS" : "FAIL");
    std::printf("threads at %.0f s %ld, at the end %ld: flat within 10%%: %s\n", base.at, base.threads, last.threads,
                threadsFlat ? "PASS" : "FAIL");
    if (!rssFlat) failures.push_back("RSS grew beyond 10%");
    if (!threadsFlat) failures.push_back("thread count grew beyond 10%");
  }

  if (hostDied) failures.push_back("the host ended during the run with status " + std::to_string(host.status));
  if (reader.closed) failures.push_back("the host closed the steady reader's connection");
  if (lost != 0) failures.push_back(std::to_string(lost) + " commands without an answer or a notice of dropped lines");
  if (capturesAnswered != captures) failures.push_back("capture commands not taken");
  if (reader.lost > reader.interleaved) failures.push_back(std::to_string(reader.lost) + " trace lines lost at the steady reader");
  if (reader.lines == 0) failures.push_back("no trace lines reached the steady reader");

  // `stop`, and the host's exit status.
  if (!hostDied) {
    bool asked = SendAll(reader.fd, "stop\r\n");
    if (!asked || !host.WaitExit(15)) {
      failures.push_back("the host did not end within 15 s of `stop`");
      host.Kill();
    } else {
      std::printf("host exit status after `stop`: %d\n", host.status);
      if (host.status != 0) failures.push_back("the host ended with status " + std::to_string(host.status));
    }
  }
  if (silent >= 0) close(silent);
  close(reader.fd);

  {
    std::lock_guard<std::mutex> hold(shared.failureLock);
    for (const std::string& f : shared.failures) std::printf("client failure: %s\n", f.c_str());
  }
  for (const std::string& f : failures) std::printf("FAIL: %s\n", f.c_str());
  std::printf("%s\n", failures.empty() ? "RESULT: PASS" : "RESULT: FAIL");
  if (failures.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  } else {
    std::printf("host output and the capture log are kept in %s\n", dir.c_str());
  }
  return failures.empty() ? 0 : 1;
}
