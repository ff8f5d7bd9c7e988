// The capture file, saved commands and command files, through a console over loopback.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "console/TDiagnosticServer.h"
#include "foundation/TRegEditor.h"
#include "tests/console/ConsoleFixture.h"

namespace {

using testing_support::ConsoleFixture;
using testing_support::FitsPattern;
using testing_support::ReadUtf16File;
using testing_support::TempDir;

const std::string kStars(64, '*');
const std::string kNotRecognized = "' is not recognized as a supported command.\r\n \r\n";

std::string Frame(const char* what) {
  return kStars + "\r\n" + what + ": ####\\##\\## ##:##:##\r\n" + kStars + "\r\n";
}

// Runs a line that answers nothing, then "cls", whose answer shows that the line has run.
bool RunQuiet(testing_support::TcpTestClient& client, const std::string& line) {
  return ConsoleFixture::Type(client, line + "\r\ncls", "\x1b[2J");
}

void WriteFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

TEST(ConsoleCapture, ModesMarkHeaderBodyAndFooter) {
  TempDir dir;
  std::string file = dir.File("capture.txt");
  ConsoleFixture fixture;
  auto client = fixture.Connect();
  ASSERT_TRUE(client);
  // Mode 0 on a missing file: a byte order mark, the header, every executed line and its replies.
  ASSERT_TRUE(RunQuiet(*client, "saveoutput " + file + " 0"));
  ASSERT_TRUE(RunQuiet(*client, "zz"));
  fixture.Console().ReplyLine(TDiagnosticServer::kNoConnection, u"no client sees this");
  // A module's text longer than any buffer is captured whole, as it came.
  std::string chunk(5000, 'm');
  fixture.Console().OnConsoleOutput(testing_support::U16(chunk + "\r\n").c_str());
  ASSERT_TRUE(RunQuiet(*client, "closeoutput"));
  std::string body = "cls\r\nzz\r\n'zz" + kNotRecognized + "cls\r\nno client sees this\r\n" + chunk + "\r\ncloseoutput\r\n";
  EXPECT_PRED2(FitsPattern, ReadUtf16File(file), "~" + Frame("Logging started") + body + Frame("Logging stopped"));
  EXPECT_EQ(client->Received().find("no client sees this"), std::string::npos);

  // Mode 1 appends with no second mark; "closeoutput" after it is framed again.
  ASSERT_TRUE(RunQuiet(*client, "saveoutput " + file + " 1"));
  ASSERT_TRUE(RunQuiet(*client, "closeoutput"));
  std::string second = Frame("Logging started") + "cls\r\ncloseoutput\r\n" + Frame("Logging stopped");
  EXPECT_PRED2(FitsPattern, ReadUtf16File(file),
               "~" + Frame("Logging started") + body + Frame("Logging stopped") + second);

  // Mode 0 (and any mode not 1 or 2) on an existing file empties it and writes no mark; a new
  // open drops the old file without a footer.
  ASSERT_TRUE(RunQuiet(*client, "saveoutput " + file + " x"));
  ASSERT_TRUE(RunQuiet(*client, "saveoutput " + dir.File("other.txt") + " 0"));
  EXPECT_PRED2(FitsPattern, ReadUtf16File(file),
               Frame("Logging started") + "cls\r\nsaveoutput " + dir.File("other.txt") + " 0\r\n");

  // Mode 2 puts the date and time before the extension; a client that comes later is told.
  ASSERT_TRUE(RunQuiet(*client, "saveoutput " + dir.File("dated.log") + " 2"));
  auto late = fixture.Connect();
  ASSERT_TRUE(late && late->WaitForText("Saving console output to file '"));
  ASSERT_TRUE(late->WaitForText(".log'\r\n"));
  std::size_t start = late->Received().find(dir.File("dated_"));
  ASSERT_NE(start, std::string::npos);
  std::string dated = late->Received().substr(start, dir.File("dated_####_##_##_##_##_##.log").size());
  EXPECT_TRUE(FitsPattern(dated, dir.File("dated_####_##_##_##_##_##.log"))) << dated;
  EXPECT_TRUE(std::filesystem::exists(dated));
  EXPECT_EQ(client->Received().find("Saving console output"), std::string::npos);

  // Wrong argument count: the usage, and the capture goes on.
  EXPECT_TRUE(ConsoleFixture::Type(*client, "saveoutput " + file,
                                   "Invalid command format\r\nSaveOutputToFile <FileName> <FileMode>\r\nFileMode\r\n"
                                   "    0: Replace existing file\r\n    1: Append in file if it already exists\r\n"
                                   "    2: Create a new file where the date and time will be appended to the FileName\r\n"));
  EXPECT_EQ(fixture.Console().GetOutputFileName().ToNarrow(), dated);
}

TEST(ConsoleSavedCommands, RememberedLineIsSavedAndReplayedAtTheNextStart) {
  TempDir dir;
  std::string file = dir.File("resumed.txt");
  const char16_t* base = u"SOFTWARE\\TolvaneTest";
  testing_support::ActiveObjectEnvironment environment;
  ConsoleFixture::Options options;
  options.beforeStart = [base](TDiagnosticServer& console) { console.SetRegistryLocation(base, 3); };
  {
    ConsoleFixture fixture(options);
    TStringEx value(u"unset");
    // The missing key is created with an empty value.
    EXPECT_TRUE(TRegEditor().ReadString(3, u"SOFTWARE\\TolvaneTest\\Console", u"saveoutput", value));
    EXPECT_TRUE(value.IsEmpty());
    auto client = fixture.Connect();
    ASSERT_TRUE(client);
    ASSERT_TRUE(RunQuiet(*client, "saveoutput " + file + " 1"));
    // Capitals run the command but are not remembered; closing is not remembered either.
    ASSERT_TRUE(RunQuiet(*client, "SAVEOUTPUT " + dir.File("caps.txt") + " 0"));
    ASSERT_TRUE(RunQuiet(*client, "closeoutput"));
    ASSERT_TRUE(RunQuiet(*client, "savecommands"));
    ASSERT_TRUE(TRegEditor().ReadString(3, u"SOFTWARE\\TolvaneTest\\Console", u"saveoutput", value));
    EXPECT_EQ(value.ToNarrow(), "saveoutput  " + file + " 1");
  }
  // A new console replays the line at Start, for no connection: the capture resumes in mode 1.
  ConsoleFixture fixture(options);
  ASSERT_TRUE(testing_support::WaitFor([&] { return !fixture.Console().GetOutputFileName().IsEmpty(); }));
  EXPECT_EQ(fixture.Console().GetOutputFileName().ToNarrow(), file);
  std::string expected = "~" + Frame("Logging started") + "cls\r\nSAVEOUTPUT " + dir.File("caps.txt") + " 0\r\n";
  EXPECT_PRED2(FitsPattern, ReadUtf16File(file), expected + Frame("Logging started"));
}

TEST(ConsoleCommandFiles, ListsLinesAndFilesThatNeverEnd) {
  TempDir dir;
  std::string good = dir.File("good.txt");
  std::string longLine(1500, 'a');
  WriteFile(good, "one\r\n" + longLine + "\ntwo");
  std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ConsoleFixture fixture;
  auto client = fixture.Connect();
  ASSERT_TRUE(client);

  std::string missing = dir.File("missing.txt");
  std::size_t mark = client->Mark();
  ASSERT_TRUE(ConsoleFixture::Type(*client, "loadcmdfile ;" + missing + ";;" + good + ";", "'two" + kNotRecognized));
  std::string expected = "ERROR: Cannot open the file '" + missing +
                         "' containing the console commands to execute.\r\nExecuting console commands from file '" +
                         good + "'...\r\n'one" + kNotRecognized + "'" + longLine.substr(0, 1023) + kNotRecognized +
                         "'two" + kNotRecognized;
  EXPECT_NE(client->Received().find(expected, mark), std::string::npos);

  // A pipe nobody writes does not hold the console; nor does a device that never ends.
  EXPECT_TRUE(ConsoleFixture::Type(*client, "loadcmdfile " + fifo, "Executing console commands from file '" + fifo));
  EXPECT_TRUE(ConsoleFixture::Type(*client, "loadcmdfile /dev/zero",
                                   "WARNING: Stopped reading the file '/dev/zero' after 16777216 bytes"));
  EXPECT_TRUE(ConsoleFixture::Type(*client, "zz", "'zz" + kNotRecognized));

  // Two or no arguments: nothing at all.
  mark = client->Mark();
  ASSERT_TRUE(ConsoleFixture::Type(*client, "loadcmdfile " + good + " " + good + "\r\nloadcmdfile\r\nyy", "'yy"));
  EXPECT_EQ(client->Received().find("Executing", mark), std::string::npos);
}

TEST(ConsoleCommandFiles, AFileThatLoadsItselfLoopsWithoutHoldingTheConsole) {
  TempDir dir;
  std::string self = dir.File("self.txt");
  WriteFile(self, "loadcmdfile " + self + "\n");
  ConsoleFixture fixture;
  auto looping = fixture.Connect();
  auto other = fixture.Connect();
  ASSERT_TRUE(looping && other);
  ASSERT_TRUE(looping->Send("loadcmdfile " + self + "\r\n"));
  std::string executing = "Executing console commands from file '" + self + "'...\r\n";
  ASSERT_TRUE(looping->WaitForText(executing + executing + executing));
  EXPECT_TRUE(ConsoleFixture::Type(*other, "zz", "'zz" + kNotRecognized));
  std::uint32_t queued = 0;
  fixture.Console().GetQueueCount(&queued);
  EXPECT_LT(queued, 10u);
}

}  // namespace
