#include "telnet/TTelnetChannel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "telnet/ITelnetChannelEvent.h"
#include "tests/telnet/FakeStream.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes += static_cast<char>(v);
  return bytes;
}

const std::string kIac = Bytes({255});
const std::string kErase = "\x1b[2K\r";

class RecordingEvents : public ITelnetChannelEvent {
 public:
  void OnLine(int, const TStringEx& line) override {
    lines.push_back(line.ToNarrow());
    if (onLine) onLine(line);
  }
  void OnKey(int, const TStringEx& text) override { keys.push_back(text.ToNarrow()); }
  void OnTelnetCommand(int, const unsigned char* bytes) override {
    commands.emplace_back(reinterpret_cast<const char*>(bytes), 3);
    EXPECT_EQ(bytes[3], 0);
    if (onCommand) onCommand(bytes);
  }
  void OnChannelClosed(int id) override {
    ++closed;
    closedId = id;
  }
  void GetPreviousCommand(int, TStringEx& text) override {
    ++previousCalls;
    text = previous;
  }
  void GetNextCommand(int, TStringEx& text) override {
    ++nextCalls;
    text = next;
  }

  std::vector<std::string> lines;
  std::vector<std::string> keys;
  std::vector<std::string> commands;
  int closed = 0;
  int closedId = -1;
  int previousCalls = 0;
  int nextCalls = 0;
  TStringEx previous;
  TStringEx next;
  std::function<void(const TStringEx&)> onLine;
  std::function<void(const unsigned char*)> onCommand;
};

class TelnetChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_stream->AddRef();  // the test's own; the channel takes the creator's
    m_channel = new TTelnetChannel(m_stream, &m_events);
    m_channel->SetId(7);
    m_channel->SetEscapeHandling(true);
    ASSERT_TRUE(m_channel->StartReceive());
  }
  void TearDown() override {
    // A closed stream completes its armed receive with nothing.
    if (m_stream->IsArmed() && !m_stream->IsOpen()) {
      EXPECT_TRUE(m_stream->DeliverEnd());
    }
    if (m_channel != nullptr) m_channel->Release();
    EXPECT_FALSE(m_stream->IsOpen());
    if (m_stream->IsArmed()) {
      EXPECT_TRUE(m_stream->DeliverEnd());
    }
    EXPECT_EQ(m_stream->Refs(), 1);
    EXPECT_EQ(m_stream->Listener(), nullptr);
    m_stream->Release();
  }

  // Delivers the bytes as one block (or as several, when longer than a receive takes).
  void Type(const std::string& bytes) {
    std::string rest = bytes;
    do {
      ASSERT_TRUE(m_stream->Deliver(rest, &rest)) << "no receive armed";
    } while (!rest.empty());
  }
  std::string Sent() { return m_stream->TakeBytes(); }

  FakeStream* m_stream = new FakeStream;
  RecordingEvents m_events;
  TTelnetChannel* m_channel = nullptr;
};

using Lines = std::vector<std::string>;

TEST_F(TelnetChannelTest, ConstructionListensWithNoDelay) {
  EXPECT_EQ(m_stream->Listener(), m_channel);
  EXPECT_TRUE(m_stream->NoDelay());
  EXPECT_TRUE(m_stream->IsArmed());
  EXPECT_FALSE(m_channel->StartReceive()) << "one receive at a time";
}

TEST_F(TelnetChannelTest, LineIsEchoedAndDelivered) {
  Type("he");
  Type("lp\r\n");
  EXPECT_EQ(m_events.lines, Lines{"help"});
  EXPECT_EQ(Sent(), "help\r\n");
  EXPECT_TRUE(m_stream->IsArmed());
  Type("\n");
  EXPECT_EQ(m_events.lines, (Lines{"help", ""}));
}

TEST_F(TelnetChannelTest, EchoStates) {
  m_channel->SetEchoState(eEchoMasked);
  Type("pw\x08x\n");
  EXPECT_EQ(m_events.lines, Lines{"px"});
  EXPECT_EQ(Sent(), "**\b \b*\r\n");

  m_channel->SetEchoState(eEchoOff);
  Type("ab\x08\n");
  EXPECT_EQ(m_events.lines.back(), "a");
  EXPECT_EQ(Sent(), "\b \b") << "nothing echoed, no CR LF, but backspace still answers";
}

TEST_F(TelnetChannelTest, ClientDontEchoReachesTheServerWhichSilencesEcho) {
  m_events.onCommand = [this](const unsigned char* bytes) {
    if (bytes[1] == 254 && bytes[2] == 1) m_channel->SetEchoState(eEchoOff);
  };
  Type(kIac + Bytes({254, 1}) + "ls\n");
  EXPECT_EQ(m_events.commands, Lines{Bytes({255, 254, 1})});
  EXPECT_EQ(m_events.lines, Lines{"ls"});
  EXPECT_EQ(Sent(), "");
}

TEST_F(TelnetChannelTest, OptionCommandsTakeAnyOptionByteAndLeaveTheLineAlone) {
  Type("ab" + kIac + Bytes({251, 3}) + "c" + kIac + Bytes({253, 24}) + kIac + Bytes({252, 255}) + kIac +
       Bytes({254, 0}) + kIac + Bytes({253, 10}) + "d\n");
  EXPECT_EQ(m_events.commands,
            (Lines{Bytes({255, 251, 3}), Bytes({255, 253, 24}), Bytes({255, 252, 255}), std::string("\xff\xfe\0", 3),
                   Bytes({255, 253, 10})}));
  EXPECT_EQ(m_events.lines, Lines{"abcd"});
  EXPECT_EQ(m_events.closed, 0);
  EXPECT_EQ(Sent(), "abcd\r\n");
}

TEST_F(TelnetChannelTest, DoubledIacTwoByteCommandsAndStrayBytesAreDropped) {
  // IAC IAC is the data byte 255 (not printable); NOP, AYT, GA and a stray SE are complete commands;
  // 1 and 251..254 outside a command are ignored.
  Type("a" + kIac + kIac + "b" + kIac + Bytes({241}) + kIac + Bytes({246}) + kIac + Bytes({249}) + kIac +
       Bytes({240}) + Bytes({1, 251}) + "c\n");
  EXPECT_EQ(m_events.lines, Lines{"abc"});
  EXPECT_TRUE(m_events.commands.empty());
}

TEST_F(TelnetChannelTest, SubnegotiationIsSkippedWhole) {
  Type("a" + kIac + Bytes({250, 24, 0}) + "xterm" + kIac + kIac + Bytes({3, 10, 8}) + kIac + Bytes({240}) + "b\n");
  EXPECT_EQ(m_events.lines, Lines{"ab"});
  EXPECT_EQ(m_events.closed, 0) << "a 3 inside a subnegotiation is data";

  // IAC and another verb ends a subnegotiation and counts as that command.
  Type(kIac + Bytes({250, 31, 1}) + kIac + Bytes({251, 1}) + "c\n");
  EXPECT_EQ(m_events.commands, Lines{Bytes({255, 251, 1})});
  EXPECT_EQ(m_events.lines.back(), "c");

  // One that never ends is given up after 1024 bytes; what follows is input again.
  Type(kIac + Bytes({250}) + std::string(1024, 'q') + "ok\n");
  EXPECT_EQ(m_events.lines.back(), "ok");
}

TEST_F(TelnetChannelTest, CommandsSplitAcrossBlocks) {
  Type("x" + kIac);
  Type(Bytes({253}));
  Type(Bytes({24}) + "y" + kIac);
  Type(kIac + kIac);
  Type(Bytes({250, 1}));
  Type(Bytes({2}) + kIac);
  Type(Bytes({240}) + "z\n");
  EXPECT_EQ(m_events.commands, Lines{Bytes({255, 253, 24})});
  EXPECT_EQ(m_events.lines, Lines{"xyz"});
}

TEST_F(TelnetChannelTest, LineEnds) {
  Type("a\r");
  Type(std::string(1, '\0'));
  Type("b\r\n");
  Type("c\r");
  Type("\n");
  Type("d\re\n");
  Type(std::string("f\r\r\0", 4));
  EXPECT_EQ(m_events.lines, (Lines{"a", "b", "c", "de", "f"}));
  Type(std::string("g\0h\n", 4));
  EXPECT_EQ(m_events.lines.back(), "gh") << "a NUL without CR is ignored";
}

TEST_F(TelnetChannelTest, BackspaceAndDelete) {
  Type("abc\x7f");
  Type("\x08\n");
  EXPECT_EQ(m_events.lines, Lines{"a"});
  EXPECT_EQ(Sent(), "abc\b \b\b \b\r\n");
  Type("\x08");
  EXPECT_EQ(Sent(), "\b \b") << "sent also when there is nothing to erase";
  Type("\x7fz\n");
  EXPECT_EQ(m_events.lines.back(), "z");
}

TEST_F(TelnetChannelTest, BytesIgnoredAfterALineEndDoNotStopLaterBackspaces) {
  Type(std::string("\nab\0\0", 5));
  Type("\x08");
  Type("\n");
  EXPECT_EQ(m_events.lines, (Lines{"", "a"}));
}

TEST_F(TelnetChannelTest, EscapeSequences) {
  Type("ab\x1b[K");
  EXPECT_EQ(m_events.keys, Lines{"[K"});
  Type("c\x1b[1~x");
  EXPECT_EQ(m_events.keys.size(), 1u) << "four characters of an unlisted sequence are not yet a key";
  Type("y");
  EXPECT_EQ(m_events.keys.back(), "[1~xy");
  Type("d\n");
  EXPECT_EQ(m_events.lines, Lines{"d"}) << "an unhandled key empties the line";
  EXPECT_EQ(Sent(), "abcd\r\n") << "escape characters are not echoed";

  // A command in the middle of a sequence does not disturb it.
  Type("\x1b[" + kIac + Bytes({251, 1}));
  Type("M");
  EXPECT_EQ(m_events.keys.back(), "[M");

  m_channel->SetEscapeHandling(false);
  Type("\x1b[A\n");
  EXPECT_EQ(m_events.lines.back(), "[A");
}

TEST_F(TelnetChannelTest, UpAndDownRecallHistory) {
  Type("xy\x1b[A");
  EXPECT_EQ(m_events.previousCalls, 1);
  EXPECT_EQ(m_events.keys, Lines{"[A"});
  EXPECT_EQ(Sent(), "xy") << "no history: the screen is left alone";
  Type("z\n");
  EXPECT_EQ(m_events.lines, Lines{"z"}) << "but the line was emptied";
  Sent();

  m_events.previous = u"dbg 100%d";
  Type("\x1b[A");
  EXPECT_EQ(Sent(), kErase + "dbg 100%d") << "history text is shown as it is, not as a format";
  m_events.next = u"sysinfo";
  Type("\x1b[B");
  EXPECT_EQ(m_events.nextCalls, 1);
  EXPECT_EQ(Sent(), kErase + "sysinfo");
  Type("!\n");
  EXPECT_EQ(m_events.lines.back(), "sysinfo!");
  EXPECT_EQ(m_events.keys.size(), 1u) << "recalled keys are not reported";

  m_events.previous = TStringEx(std::string(1500, 'h').c_str());
  Type("\x1b[A\n");
  EXPECT_EQ(m_events.lines.back(), std::string(1023, 'h'));
}

TEST_F(TelnetChannelTest, RightRedrawsAndLeftWipes) {
  Type("ls\x1b[C");
  EXPECT_EQ(Sent(), "ls" + kErase + "ls");
  EXPECT_TRUE(m_events.keys.empty());
  Type("\x1b[D");
  EXPECT_EQ(Sent(), kErase);
  EXPECT_EQ(m_events.keys, Lines{"[D"});
  Type("\x1b[C");
  EXPECT_EQ(Sent(), "") << "nothing to redraw";
  EXPECT_EQ(m_events.keys, (Lines{"[D", "[C"}));
  Type("\n");
  EXPECT_EQ(m_events.lines, Lines{""});
}

TEST_F(TelnetChannelTest, TabOffersTheLineAndEmptiesIt) {
  Type("he\tlp\n");
  EXPECT_EQ(m_events.keys, Lines{"he\t"});
  EXPECT_EQ(m_events.lines, Lines{"lp"});
  EXPECT_EQ(Sent(), "help\r\n") << "TAB is not echoed";

  // No room for the TAB and its terminator: the TAB is ignored and the line kept.
  Type(std::string(1023, 'a') + "\t\n");
  EXPECT_EQ(m_events.keys.size(), 1u);
  EXPECT_EQ(m_events.lines.back(), std::string(1023, 'a'));
}

TEST_F(TelnetChannelTest, CompletionFromTheServerReplacesTheLine) {
  Type("he\t");
  m_channel->SetInputLine(u"help ");
  EXPECT_EQ(Sent(), "he" + kErase + "help ");
  Type("x\x08\x08\n");
  EXPECT_EQ(m_events.lines, Lines{"help"});

  m_channel->SetInputLine(TStringEx(std::string(2000, 'k').c_str()));
  Type("\n");
  EXPECT_EQ(m_events.lines.back(), std::string(1023, 'k'));
}

TEST_F(TelnetChannelTest, OverlongLinesAreDiscarded) {
  Type(std::string(1023, 'a') + "\n");
  EXPECT_EQ(m_events.lines.back().size(), 1023u);
  Type(std::string(1024, 'b') + "\n");
  EXPECT_EQ(m_events.lines.size(), 1u) << "1024 characters do not make a line";
  Sent();
  Type(std::string(1025, 'c'));
  EXPECT_EQ(Sent().size(), 1024u) << "the character that finds the line full is not echoed";
  Type("x\n");
  EXPECT_EQ(m_events.lines.back(), "x");
}

TEST_F(TelnetChannelTest, FifthOverflowInARowEndsTheConnection) {
  Type(std::string(4 * 1025, 'a'));
  EXPECT_EQ(m_events.closed, 0);
  Type(std::string(1025, 'a'));
  EXPECT_EQ(m_events.closed, 1);
  EXPECT_EQ(m_events.closedId, 7);
  EXPECT_FALSE(m_stream->IsOpen());
  EXPECT_FALSE(m_stream->IsArmed());
  EXPECT_TRUE(m_channel->IsClosed());
}

TEST_F(TelnetChannelTest, LineEndsResetTheOverflowCount) {
  for (int i = 0; i < 6; ++i) Type(std::string(1025, 'a') + "\n");
  EXPECT_EQ(m_events.closed, 0);
  EXPECT_TRUE(m_stream->IsArmed());
}

TEST_F(TelnetChannelTest, CtrlCHangsUpAndDropsTheRest) {
  Type("ab\x03" "cd\n");
  EXPECT_TRUE(m_events.lines.empty());
  EXPECT_EQ(m_events.closed, 1);
  EXPECT_FALSE(m_stream->IsOpen());
  EXPECT_FALSE(m_stream->IsArmed());
  EXPECT_FALSE(m_channel->SendString("late"));
  EXPECT_EQ(Sent(), "ab");
}

TEST_F(TelnetChannelTest, PeerCloseIsReportedOnce) {
  ASSERT_TRUE(m_stream->DeliverEnd(104));
  EXPECT_EQ(m_events.closed, 1);
  EXPECT_FALSE(m_stream->IsArmed());
  EXPECT_EQ(m_stream->Listener(), nullptr);
  EXPECT_FALSE(m_channel->StartReceive());
  m_channel->OnChannelRx(m_stream, 0, nullptr, 0);
  m_channel->Close();
  EXPECT_EQ(m_events.closed, 1);
}

TEST_F(TelnetChannelTest, LocalCloseSendsNoEventAndStopsEverything) {
  m_channel->Close();
  EXPECT_FALSE(m_stream->IsOpen());
  EXPECT_TRUE(m_channel->IsClosed());
  const std::uint8_t bytes[] = {'a', '\n'};
  m_channel->OnChannelRx(m_stream, 0, bytes, 2);
  m_channel->OnChannelRx(m_stream, 0, bytes, 0);
  EXPECT_TRUE(m_events.lines.empty());
  EXPECT_EQ(m_events.closed, 0);
  EXPECT_FALSE(m_channel->SendText(u"x"));
  EXPECT_FALSE(m_channel->SendByte('x'));
  m_channel->SetInputLine(u"x");
  EXPECT_EQ(m_stream->SendCalls(), 0);
  EXPECT_FALSE(m_channel->StartReceive());
  ASSERT_TRUE(m_stream->DeliverEnd());
  EXPECT_EQ(m_events.closed, 0);
}

TEST_F(TelnetChannelTest, CloseAndReleaseFromInsideOnLine) {
  m_events.onLine = [this](const TStringEx&) {
    // What the server does with a wrong password: answer, close, drop its reference.
    m_channel->SendLineText(u"Access denied");
    m_channel->SetInputLine(u"");
    m_channel->Close();
    m_channel->Release();
    m_channel = nullptr;
  };
  Type("secret\nmore\n");
  EXPECT_EQ(m_events.lines, Lines{"secret"});
  EXPECT_EQ(m_events.closed, 0);
  EXPECT_FALSE(m_stream->IsOpen());
  EXPECT_FALSE(m_stream->IsArmed());
  EXPECT_EQ(Sent(), "secret\r\nAccess denied\r\n" + kErase);
  EXPECT_EQ(m_stream->Refs(), 1) << "the channel is gone and gave its reference back";
}

TEST_F(TelnetChannelTest, SendTextGoesOutInPiecesOf1024) {
  const std::string text(2500, 'w');
  ASSERT_TRUE(m_channel->SendText(u"%s<%d>", TStringEx(text.c_str()), 42));
  const std::vector<std::string> pieces = m_stream->Pieces();
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0].size(), 1024u);
  EXPECT_EQ(pieces[1].size(), 1024u);
  EXPECT_EQ(pieces[0] + pieces[1] + pieces[2], text + "<42>");
  Sent();

  EXPECT_TRUE(m_channel->SendText(u"Greetings!\n\r"));
  EXPECT_EQ(Sent(), "Greetings!\n\r");
  EXPECT_TRUE(m_channel->SendText(u""));
  EXPECT_EQ(m_stream->SendCalls(), 4);

  // A surrogate pair is never cut in two (here it becomes one '?', the locale being ASCII).
  std::u16string wide(1023, u'a');
  wide += u"\U0001F600b";
  ASSERT_TRUE(m_channel->SendText(u"%s", wide.c_str()));
  EXPECT_EQ(m_stream->Pieces(), (Lines{std::string(1023, 'a'), "?b"}));
}

TEST_F(TelnetChannelTest, SendFailuresStopTheRest) {
  ASSERT_TRUE(m_channel->SendLineText(u"ok"));
  EXPECT_EQ(m_stream->Pieces(), (Lines{"ok", "\r", "\n"}));
  Sent();

  m_stream->FailSendsAfter(1);
  EXPECT_FALSE(m_channel->SendLineText(u"%s", TStringEx(std::string(1500, 'x').c_str())));
  EXPECT_EQ(m_stream->SendCalls(), 5) << "the second piece failed; no CR, no LF";
  EXPECT_EQ(Sent().size(), 1024u);

  m_stream->FailSendsAfter(1);
  EXPECT_FALSE(m_channel->SendLineText(u"short"));
  EXPECT_EQ(m_stream->SendCalls(), 7) << "text and CR were tried, LF was not";

  m_stream->FailSends(true);
  Type("echo me\n");
  EXPECT_EQ(m_events.lines, Lines{"echo me"}) << "failing echoes change nothing else";
}

// The server's output and input-line replacement race the receive path; the sanitizer builds
// check that the line state is shared soundly, and the test that the line stays whole.
TEST_F(TelnetChannelTest, OutputFromAnotherThreadWhileTyping) {
  std::promise<void> done;
  std::thread watchdog([finished = done.get_future()] {
    if (finished.wait_for(std::chrono::seconds(30)) == std::future_status::ready) return;
    std::fprintf(stderr, "test still running after 30 s: deadlock\n");
    std::abort();
  });
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::thread console([&] {
    for (int i = 0; !stop.load(); ++i, ++rounds) {
      m_channel->SetInputLine(u"completed");
      m_channel->SendLineText(u"output %d", i);
      m_channel->SetEchoState(i % 2 == 0 ? eEchoOn : eEchoMasked);
      std::this_thread::yield();
    }
  });
  while (rounds.load() == 0) std::this_thread::yield();
  for (int i = 0; i < 2000; ++i) Type(i % 50 == 49 ? "\x1b[C\x08\t\n" : "ab");
  stop = true;
  console.join();
  done.set_value();
  watchdog.join();
  for (const std::string& line : m_events.lines)
    for (char c : line) EXPECT_TRUE(c == 'a' || c == 'b' || (c >= 'c' && c <= 't')) << line;
}

}  // namespace
