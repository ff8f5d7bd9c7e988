// TConsole: the pieces a print hands to the module's listener, their prefixes, the length limit,
// re-entrant listeners and whole lines under concurrent printing.
#include "modules/TConsole.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Thread.h"
#include "tests/ConsoleCapture.h"

namespace {

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// The thread-id prefix of the calling thread.
std::string IdPrefix() {
  char id[32];
  std::snprintf(id, sizeof id, "%05u - ", static_cast<unsigned>(platform::CurrentThreadId()));
  return id;
}

using Capture = testing_support::ConsoleCapture;

// A time-of-day prefix: "HHhMM:SS.mmm - ", where 9 below stands for any digit.
bool IsTimePrefix(const std::u16string& piece) {
  const std::u16string pattern = u"99h99:99.999 - ";
  if (piece.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < piece.size(); ++i)
    if (pattern[i] == u'9' ? piece[i] < u'0' || piece[i] > u'9' : piece[i] != pattern[i]) return false;
  return true;
}

// Installs a listener and leaves the console as it found it: no listener, all switches off.
class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { TConsole::SetConsoleListener(&m_capture); }
  void TearDown() override {
    TConsole::SetConsoleListener(nullptr);
    TConsole::SetPrintThreadId(false);
    TConsole::SetPrintTimeStamp(false);
    TConsole::SetPrintCurrentMod(false);
  }
  Capture m_capture;
};

// Runs fn on its own thread; a deadlock ends the test run instead of hanging it (the stuck thread
// would hold the console lock that every later test needs).
void RunWithDeadline(std::function<void()> fn, std::chrono::seconds deadline = std::chrono::seconds(30)) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([fn = std::move(fn), done] {
    fn();
    done->set_value();
  }).detach();
  if (finished.wait_for(deadline) != std::future_status::ready) {
    std::fprintf(stderr, "console test did not finish in time: deadlock\n");
    std::abort();
  }
}

TEST_F(ConsoleTest, PrefixesAndTextArePiecesInOrder) {
  TConsole::SetPrintThreadId(true);
  TConsole::SetPrintTimeStamp(true);
  TConsole::SetPrintCurrentMod(true);
  EXPECT_TRUE(TConsole::GetPrintThreadId() && TConsole::GetPrintTimeStamp() && TConsole::GetPrintCurrentMod());
  TConsole::PrintLine(u"hello %d %s", 42, u"world");
  TConsole::Print(u"no end");

  const std::string id = IdPrefix();
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe").filename().string() + " - ";
  std::vector<std::u16string> pieces = m_capture.Pieces();
  ASSERT_EQ(pieces.size(), 9u);
  for (std::size_t line : {0u, 5u}) {
    EXPECT_EQ(Narrow(pieces[line]), id);
    EXPECT_TRUE(IsTimePrefix(pieces[line + 1])) << Narrow(pieces[line + 1]);
    EXPECT_EQ(Narrow(pieces[line + 2]), exe);
  }
  EXPECT_EQ(pieces[3], u"hello 42 world");
  EXPECT_EQ(pieces[4], u"\r\n");
  EXPECT_EQ(pieces[8], u"no end");
}

TEST_F(ConsoleTest, WithoutListenerNothingIsDelivered) {
  TConsole::SetConsoleListener(nullptr);
  EXPECT_EQ(TConsole::GetConsoleListener(), nullptr);
  TConsole::SetPrintThreadId(true);
  TConsole::Print(u"lost %d", 1);
  TConsole::PrintLine(u"lost too");
  TConsole::SetConsoleListener(&m_capture);
  TConsole::SetPrintThreadId(false);
  TConsole::Print(u"kept");
  EXPECT_EQ(m_capture.Pieces(), std::vector<std::u16string>{u"kept"});
}

TEST_F(ConsoleTest, TextIsCutAt8191Characters) {
  const std::u16string exact(8191, u'x');
  const std::u16string longer = exact + u"yz";
  TConsole::Print(u"%s", exact.c_str());
  TConsole::Print(u"%s", longer.c_str());
  TConsole::Print(longer.c_str());  // as the format itself
  TConsole::PrintLine(u"%s", longer.c_str());
  EXPECT_EQ(m_capture.Pieces(), (std::vector<std::u16string>{exact, exact, exact, exact, u"\r\n"}));
}

TEST_F(ConsoleTest, MismatchedArgumentsAreSafe) {
  TConsole::Print(u"a%sb%dc%s");               // conversions without arguments print nothing
  TConsole::Print(u"%d|%s", u"text", 7);        // text for %d prints nothing; a number for %s prints
  TConsole::Print(u"%s%", static_cast<const char16_t*>(nullptr));
  EXPECT_EQ(m_capture.Pieces(), (std::vector<std::u16string>{u"abc", u"|7", u"(null)%"}));
}

// Prints again from inside OnConsoleOutput, then looks at the piece it was given.
class Echoing final : public IConsoleListener {
 public:
  void OnConsoleOutput(const char16_t* text) override {
    if (std::u16string(text) == u"outer") TConsole::PrintLine(u"inner %d", 1);
    seen.emplace_back(text);  // read after the nested print: must still be this call's piece
  }
  std::vector<std::u16string> seen;
};

TEST_F(ConsoleTest, ListenerMayPrintFromInsideItsCall) {
  Echoing echoing;
  TConsole::SetConsoleListener(&echoing);
  RunWithDeadline([] { TConsole::PrintLine(u"outer"); });
  TConsole::SetConsoleListener(&m_capture);
  EXPECT_EQ(echoing.seen, (std::vector<std::u16string>{u"inner 1", u"\r\n", u"outer", u"\r\n"}));
}

TEST_F(ConsoleTest, LinesFromSeveralThreadsStayWhole) {
  TConsole::SetPrintThreadId(true);
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::string> ids(kThreads);
  RunWithDeadline([&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([t, &ids] {
        ids[t] = IdPrefix();
        for (int i = 0; i < kLines; ++i) TConsole::PrintLine(u"T%d line %d", t, i);
      });
    for (std::thread& thread : threads) thread.join();
  });
  std::vector<std::u16string> pieces = m_capture.Pieces();
  ASSERT_EQ(pieces.size(), 3u * kThreads * kLines);
  std::vector<int> next(kThreads, 0);
  for (std::size_t i = 0; i < pieces.size(); i += 3) {
    const std::string text = Narrow(pieces[i + 1]);
    int t = -1, line = -1;
    ASSERT_EQ(std::sscanf(text.c_str(), "T%d line %d", &t, &line), 2) << text;
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(Narrow(pieces[i]), ids[t]) << "at piece " << i;
    EXPECT_EQ(line, next[t]++) << "lines of one thread keep their order";
    ASSERT_EQ(pieces[i + 2], u"\r\n") << "line torn at piece " << i;
  }
}

}  // namespace
