// The console over loopback: help, dispatch, extensions, completion, and the process commands.
#include "console/TDiagnosticServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>
#include <vector>

#include "foundation/TRegEditor.h"
#include "modules/TConsole.h"
#include "platform/ThreadMessages.h"
#include "tests/console/ConsoleFixture.h"

namespace {

using testing_support::ConsoleFixture;
using testing_support::WaitFor;

std::string HelpListing() {
  struct Row {
    const char* name;
    const char* description;
    const char* syntax;
  };
  static const Row rows[] = {
      {"?", "Display help for specific command", "help | help [command]"},
      {"help", "Display help for specific command", "help | help [command]"},
      {"threadid", "Display thread ID before all debug message", "threadid"},
      {"time", "Display time", "time"},
      {"cls", "Erase the entire display", "cls"},
      {"loadcmdfile", "Execute console command locate in a specific file.", "loadcmdfile <complete filename>"},
      {"savecommands", "Save certain called commands to registry for automatic resume on service startup.",
       "savecommands"},
      {"sysinfo", "Display information about the current process.", "sysinfo"},
      {"dbg", "Enable and disable specific debug trace", "dbg [debugname] | dbg [debugname]-- | dbg ?"},
      {"currentmod", "Display the messages provenance module", "currentmod"},
      {"specdbgcmd", "Specific commands", "specdbgcmd module.dll{ALL} key string varia"},
      {"saveoutput", "Save console output into a log file.", "saveoutput <complete filename>"},
      {"closeoutput", "Close console output previously opened with saveoutput.", "closeoutput"},
  };
  std::string text = std::string(50, '-') + "\r\nConsole commands:\r\n";
  for (const Row& row : rows) {
    std::string name = row.name;
    name.resize(13, ' ');
    text += "  " + name + " " + row.description + "\r\n" + std::string(16, ' ') + "Syntax: " + row.syntax + "\r\n";
  }
  return text;
}

// Offers "alpha", "alps" and "beta"; "block" waits until released, so a test can hold a command.
class TestExtension : public IConsoleExtension {
 public:
  explicit TestExtension(TDiagnosticServer& console) : m_console(console) {}

  void OnClientReady(int) override { ++m_ready; }
  TStringEx GetTitle() override { return u"Test application"; }
  std::int32_t HandleCommand(int id, const TStringEx* name, const TStringExArray*, std::int32_t help,
                             std::int32_t list, TStringExArray* output) override {
    static const char16_t* const kCommands[] = {u"alpha", u"alps", u"beta", u"block"};
    if (list != 0) {
      for (const char16_t* command : kCommands) {
        output->Add(command);
        output->Add(u"a test command");
      }
      return 1;
    }
    for (const char16_t* command : kCommands) {
      if (!(*name == command)) continue;
      if (help != 0) {
        m_console.ReplyLine(id, u"help on %s", *name);
      } else if (*name == u"block") {
        m_console.ReplyLine(id, u"blocking");
        m_release.get_future().wait();
      } else {
        m_console.ReplyLine(id, u"ran %s", *name);
      }
      return 1;
    }
    return 0;
  }
  void Release() { m_release.set_value(); }

  std::atomic<int> m_ready{0};

 private:
  TDiagnosticServer& m_console;
  std::promise<void> m_release;
};

TEST(ConsoleCore, InstanceIsCountedAndTheGreetingIsSentAsText) {
  ConsoleFixture fixture;
  TDiagnosticServer* again = TDiagnosticServer::GetInstance();
  EXPECT_EQ(again, &fixture.Console());
  TDiagnosticServer::ReleaseInstance();
  fixture.Console().SetGreeting(u"100%s up\n\r");
  testing_support::TcpTestClient client(fixture.Port());
  EXPECT_TRUE(client.WaitForText("\x1b[2J100%s up\n\r\r\n"));
}

TEST(ConsoleCore, ReleasedWithAFullQueue) {
  ConsoleFixture fixture;
  auto client = fixture.Connect();
  ASSERT_TRUE(client);
  ASSERT_TRUE(ConsoleFixture::Type(*client, "block", "'block"));
  // More lines than the queue holds: the rest are lost without a word, and release still ends
  // the console thread before anything it uses is gone.
  for (int i = 0; i < 12000; ++i) fixture.Console().OnCommandLine(TDiagnosticServer::kNoConnection, u"help");
  std::uint32_t queued = 0;
  fixture.Console().GetQueueCount(&queued);
  EXPECT_LE(queued, 10005u);
}

// Printing threads hand on a line in pieces, each thread under a lock of its own (one per
// module); the console must still send every line whole.
TEST(ConsoleOutput, PiecesOfConcurrentThreadsArriveAsWholeLines) {
  ConsoleFixture fixture;
  auto client = fixture.Connect();
  ASSERT_TRUE(client);
  constexpr int kThreads = 3, kLines = 300;
  std::vector<std::thread> printers;
  for (int t = 0; t < kThreads; ++t)
    printers.emplace_back([&fixture, t] {
      const std::u16string prefix = u"T" + std::u16string(1, static_cast<char16_t>(u'0' + t)) + u" - ";
      for (int i = 0; i < kLines; ++i) {
        fixture.Console().OnConsoleOutput(prefix.c_str());
        fixture.Console().OnConsoleOutput(TStringEx(std::to_string(i).c_str()).c_str());
        fixture.Console().OnConsoleOutput(u"\r\n");
      }
    });
  for (auto& printer : printers) printer.join();
  const std::string last = "T0 - " + std::to_string(kLines - 1) + "\r\n";
  ASSERT_TRUE(WaitFor([&] {
    client->Pump(10);
    const std::string& text = client->Received();
    return std::count(text.begin(), text.end(), '\n') >= kThreads * kLines + 1;
  }));
  int next[kThreads] = {};
  std::istringstream lines(client->Received().substr(client->Received().find("\r\n") + 2));
  for (std::string line; std::getline(lines, line);) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "T%d - %d\r", &t, &i), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads && line == "T" + std::to_string(t) + " - " + std::to_string(i) + "\r") << line;
    EXPECT_EQ(i, next[t]++) << line;
  }
}

// An unfinished line waits for its end, but not for ever: it goes out as it stands once it was
// held a second and anything is printed again, or at once when it is long.
TEST(ConsoleOutput, UnfinishedLinesGoOutLateOrWhenLong) {
  ConsoleFixture fixture;
  auto client = fixture.Connect();
  ASSERT_TRUE(client);
  std::size_t mark = client->Mark();
  std::thread([&] { fixture.Console().OnConsoleOutput(u"unfinished"); }).join();
  fixture.Console().OnConsoleOutput(u"whole\r\n");
  ASSERT_TRUE(client->WaitForText("whole\r\n", mark));
  EXPECT_EQ(client->Received().find("unfinished", mark), std::string::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the hold has a fixed length
  fixture.Console().OnConsoleOutput(u"later\r\n");
  ASSERT_TRUE(client->WaitForText("unfinishedlater\r\n", mark));

  const std::u16string longText(TLineAssembler::kHeldLimit, u'x');
  fixture.Console().OnConsoleOutput(longText.c_str());
  EXPECT_TRUE(client->WaitForText(std::string(TLineAssembler::kHeldLimit, 'x'), mark));
}

TEST(ConsoleHelp, ListsTheVisibleBuiltinCommandsAndNothingAfterCloseoutput) {
  ConsoleFixture fixture;
  auto client = fixture.Connect();
  ASSERT_TRUE(client);
  for (const char* typed : {"help", "HeLP", "?"}) {
    std::size_t mark = client->Mark();
    ASSERT_TRUE(ConsoleFixture::Type(*client, typed, HelpListing())) << typed;
    std::size_t end = client->Received().find(HelpListing(), mark) + HelpListing().size();
    ASSERT_TRUE(ConsoleFixture::Type(*client, "nothing", "'nothing' is not recognized as a supported command.\r\n \r\n"));
    EXPECT_EQ(client->Received().find("---", end), std::string::npos) << typed;
  }
}

TEST(ConsoleDispatch, LinesThatRunNothing) {
  ConsoleFixture fixture;
  auto client = fixture.Connect();
  ASSERT_TRUE(client);
  struct Case {
    const char* line;
    const char* answer;
  };
  const Case cases[] = {
      {"help    cls", "Could not find help on command 'cls'.\r\n \r\n"},
      {"nosuch argument", "'nosuch' is not recognized as a supported command.\r\n \r\n"},
  };
  for (const Case& c : cases) EXPECT_TRUE(ConsoleFixture::Type(*client, c.line, c.answer)) << c.line;
  // A TAB belongs to the word it is typed in (a client's TAB asks for completion instead).
  fixture.Console().OnCommandLine(0, u"he\tlp");
  EXPECT_TRUE(client->WaitForText("'he\tlp' is not recognized as a supported command.\r\n"));
  // A leading space, or a blank line, runs nothing and answers nothing.
  std::size_t mark = client->Mark();
  ASSERT_TRUE(ConsoleFixture::Type(*client, " help\r\n\r\n%s%n", "'%s%n' is not recognized"));
  EXPECT_EQ(client->Received().find("Console commands:", mark), std::string::npos);
}

TEST(ConsoleExtensions, ListHelpRunCompleteAndRemoveWhileACommandRuns) {
  ConsoleFixture fixture;
  TestExtension extension(fixture.Console());
  std::int32_t cookie = 0;
  fixture.Console().AddExtension(&extension, &cookie);
  EXPECT_EQ(cookie, 1);
  auto client = fixture.Connect();
  auto other = fixture.Connect();
  ASSERT_TRUE(client && other);
  EXPECT_TRUE(WaitFor([&] { return extension.m_ready.load() == 2; }));

  std::string dash(50, '-');
  std::string listing = HelpListing() + dash + "\r\nTest application\r\n" + dash + "\r\nCommands in this application:\r\n";
  for (const char* name : {"alpha", "alps", "beta", "block"}) {
    std::string column = name;
    column.resize(13, ' ');
    listing += "  " + column + " a test command\r\n";
  }
  EXPECT_TRUE(ConsoleFixture::Type(*client, "help", listing + dash + "\r\n"));
  EXPECT_TRUE(ConsoleFixture::Type(*client, "help beta", "help on beta\r\n"));
  EXPECT_TRUE(ConsoleFixture::Type(*client, "alpha x", "ran alpha\r\n"));

  // Completion: several matches are listed and the prefix put back; one match replaces the line.
  std::size_t mark = client->Mark();
  ASSERT_TRUE(client->Send("AL\t"));
  EXPECT_TRUE(client->WaitForText("\r\nalpha\r\nalps\r\n\x1b[2K\rAL", mark));
  mark = client->Mark();
  ASSERT_TRUE(client->Send("\x7f\x7f" "be\t"));
  EXPECT_TRUE(client->WaitForText("\x1b[2K\rbeta", mark));
  mark = client->Mark();
  ASSERT_TRUE(client->Send("\x7f\x7f\x7f\x7fzz\t"));
  EXPECT_TRUE(client->WaitForText("\x1b[2K\rzz", mark));
  ASSERT_TRUE(client->Send("\x7f\x7f\r\n"));

  // While "block" holds the console thread, a module's print still reaches the clients, and
  // removing the extension waits for the command to end.
  ASSERT_TRUE(ConsoleFixture::Type(*client, "block", "blocking\r\n"));
  TConsole::SetConsoleListener(&fixture.Console());
  std::thread([] { TConsole::PrintLine(u"from a module thread"); }).join();
  EXPECT_TRUE(other->WaitForText("from a module thread\r\n"));
  auto removed = std::async(std::launch::async, [&] { fixture.Console().RemoveExtension(cookie); });
  EXPECT_EQ(removed.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  extension.Release();
  removed.wait();
  TConsole::SetConsoleListener(nullptr);
  EXPECT_TRUE(ConsoleFixture::Type(*client, "alpha", "'alpha' is not recognized as a supported command."));
}

TEST(ConsoleProcessCommands, ClsReachesOnlyTheClientThatTypedIt) {
  ConsoleFixture fixture;
  auto typing = fixture.Connect();
  auto watching = fixture.Connect();
  ASSERT_TRUE(typing && watching);
  std::size_t watched = watching->Mark();
  EXPECT_TRUE(ConsoleFixture::Type(*typing, "cls", "\x1b[2J"));
  fixture.Console().BroadcastLine(u"after cls");
  ASSERT_TRUE(watching->WaitForText("after cls\r\n", watched));
  EXPECT_EQ(watching->Received().substr(watched), "after cls\r\n");
}

TEST(ConsoleProcessCommands, StopEndsTheMessageLoopOfTheCreatorThread) {
  ConsoleFixture fixture;
  platform::ThreadMessage message;
  platform::PeekMessage(&message, false);  // the creator thread now has a queue
  auto client = fixture.Connect();
  ASSERT_TRUE(client && client->Send("stop\r\n"));
  while (platform::GetMessage(&message)) {
  }
  EXPECT_EQ(message.message, platform::WM_QUIT);
  EXPECT_TRUE(ConsoleFixture::Type(*client, "help", "Console commands:"));
}

// Lines of the catch-all's log (UTF-16) that name the console thread.
std::size_t LogLines() {
  std::string log = testing_support::ReadUtf16File(std::filesystem::read_symlink("/proc/self/exe").string() + ".log");
  std::size_t lines = 0;
  for (std::size_t at = log.find("<Diagnostic>"); at != std::string::npos; at = log.find("<Diagnostic>", at + 1)) ++lines;
  return lines;
}

// In a child process: the faulted command's frames are never unwound, so what they held leaks.
TEST(ConsoleProcessCommandsDeathTest, CrashIsCaughtAndLoggedWhenCatchingIsOn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto crashAndGoOn = [] {
    std::size_t before = LogLines();
    ConsoleFixture::Options options;
    options.prepare = [] { TRegEditor().WriteDword(3, u"SOFTWARE\\Tolvane", u"EnableCatch", 1); };
    ConsoleFixture fixture(options);
    auto client = fixture.Connect();
    if (!client || !client->Send("crash\r\n")) return 1;
    if (!ConsoleFixture::Type(*client, "help", "Console commands:")) return 2;
    if (!WaitFor([&] { return LogLines() > before; })) return 3;
    // The faulted command gave its extension lock back: another thread can add an extension.
    TestExtension extension(fixture.Console());
    std::int32_t cookie = 0;
    auto added = std::async(std::launch::async, [&] { fixture.Console().AddExtension(&extension, &cookie); });
    if (added.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return 4;
    fixture.Console().RemoveExtension(cookie);
    return 0;
  };
  EXPECT_EXIT(std::_Exit(crashAndGoOn()), testing::ExitedWithCode(0), "");
}

TEST(ConsoleProcessCommandsDeathTest, CrashEndsTheProcessWhenCatchingIsOff) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        ConsoleFixture fixture;
        fixture.Console().OnCommandLine(TDiagnosticServer::kNoConnection, u"crash");
        std::this_thread::sleep_for(std::chrono::seconds(20));
      },
      "");
}

}  // namespace
