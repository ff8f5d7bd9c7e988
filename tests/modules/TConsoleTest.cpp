// TConsole: the pieces handed to the listener, prefixes, the length limit, re-entry, whole lines.
#include "modules/TConsole.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/Thread.h"
#include "tests/ConsoleCapture.h"
#include "tests/TestSupport.h"

namespace {

using testing_support::U16;
using Pieces = std::vector<std::u16string>;
std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

std::string IdPrefix() {
  char id[32];
  std::snprintf(id, sizeof id, "%05u - ", static_cast<unsigned>(platform::CurrentThreadId()));
  return id;
}

using testing_support::IsTimePrefix;

// Leaves the console as it found it; the environment's watchdog ends a deadlocked run.
class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { TConsole::SetConsoleListener(&m_capture); }
  void TearDown() override {
    TConsole::SetConsoleListener(nullptr);
    TConsole::SetPrintThreadId(false);
    TConsole::SetPrintTimeStamp(false);
    TConsole::SetPrintCurrentMod(false);
  }
  testing_support::ActiveObjectEnvironment m_environment;
  testing_support::ConsoleCapture m_capture;
};

TEST_F(ConsoleTest, PrefixesAndTextArePiecesInOrder) {
  TConsole::SetPrintThreadId(true);
  TConsole::SetPrintTimeStamp(true);
  TConsole::SetPrintCurrentMod(true);
  TConsole::PrintLine(u"hello %d %s", 42, u"world");
  TConsole::Print(u"no end");
  const std::u16string id = U16(IdPrefix());
  const std::u16string exe = U16(std::filesystem::read_symlink("/proc/self/exe").filename().string() + " - ");
  Pieces pieces = m_capture.Pieces();
  ASSERT_EQ(pieces.size(), 9u);
  EXPECT_TRUE(IsTimePrefix(pieces[1]) && IsTimePrefix(pieces[6])) << Narrow(pieces[1]) << Narrow(pieces[6]);
  EXPECT_EQ(pieces, (Pieces{id, pieces[1], exe, u"hello 42 world", u"\r\n", id, pieces[6], exe, u"no end"}));
}

TEST_F(ConsoleTest, NothingWithoutListenerAndTextCutAt8191Characters) {
  TConsole::SetConsoleListener(nullptr);
  TConsole::Print(u"lost %d", 1);
  TConsole::PrintLine(u"lost too");
  TConsole::SetConsoleListener(&m_capture);
  TConsole::Print(u"kept");
  const std::u16string exact(8191, u'x');  // text is cut at 8191 characters
  const std::u16string longer = exact + u"yz";
  TConsole::Print(u"%s", exact.c_str());
  TConsole::Print(u"%s", longer.c_str());
  TConsole::Print(longer.c_str());  // as the format itself
  TConsole::PrintLine(u"%s", longer.c_str());
  EXPECT_EQ(m_capture.Pieces(), (Pieces{u"kept", exact, exact, exact, exact, u"\r\n"}));
}

// Prints again from inside OnConsoleOutput, then looks at the piece it was given.
struct Echoing final : IConsoleListener {
  void OnConsoleOutput(const char16_t* text) override {
    if (std::u16string(text) == u"outer") TConsole::PrintLine(u"inner %d", 1);
    seen.emplace_back(text);  // read after the nested print: must still be this call's piece
  }
  Pieces seen;
};

TEST_F(ConsoleTest, ListenerMayPrintFromInsideItsCall) {
  Echoing echoing;
  TConsole::SetConsoleListener(&echoing);
  TConsole::PrintLine(u"outer");
  TConsole::SetConsoleListener(&m_capture);
  EXPECT_EQ(echoing.seen, (Pieces{u"inner 1", u"\r\n", u"outer", u"\r\n"}));
}

TEST_F(ConsoleTest, LinesFromSeveralThreadsStayWhole) {
  TConsole::SetPrintThreadId(true);
  constexpr int kThreads = 4, kLines = 300;
  std::vector<std::string> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &ids] {
      ids[t] = IdPrefix();
      for (int i = 0; i < kLines; ++i) TConsole::PrintLine(u"T%d line %d", t, i);
    });
  for (std::thread& thread : threads) thread.join();
  Pieces pieces = m_capture.Pieces();
  ASSERT_EQ(pieces.size(), 3u * kThreads * kLines);
  for (std::size_t i = 0; i < pieces.size(); i += 3) {
    int t = -1, line = -1;
    ASSERT_EQ(std::sscanf(Narrow(pieces[i + 1]).c_str(), "T%d line %d", &t, &line), 2) << Narrow(pieces[i + 1]);
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(Narrow(pieces[i]), ids[t]) << "at piece " << i;
    ASSERT_EQ(pieces[i + 2], u"\r\n") << "line torn at piece " << i;
  }
}

}  // namespace
