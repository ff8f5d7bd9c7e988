#include "telnet/TTelnetChannel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "telnet/ITelnetChannelEvent.h"
#include "tests/TestSupport.h"
#include "tests/telnet/FakeStream.h"

namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

std::string Iac(std::initializer_list<unsigned char> bytes) { return "\xff" + std::string(bytes.begin(), bytes.end()); }
const std::string kErase = "\x1b[2K\r";

// What a table row sets up besides its input, and expects besides lines and sent bytes.
struct Options {
  std::string keys = "", commands = "";
  int closed = 0;
  EEchoState echo = eEchoOn;
  std::u16string previous = u"", next = u"", completion = u"";  // the history entries; the server's TAB completion
};

// A channel on a fake stream, and the server's side: records what the channel reports (lines and
// keys each ending in '|'), turns echo off on IAC DONT ECHO and completes TAB lines, as the server does.
struct Rig : ITelnetChannelEvent {
  explicit Rig(const Options& options = {}) : opt(options) {
    stream->AddRef();  // the test's own; the channel takes the creator's
    channel->SetId(7);
    channel->SetEchoState(opt.echo);
    channel->SetEscapeHandling(true);
    EXPECT_TRUE(channel->StartReceive());
  }
  ~Rig() override {
    if (channel != nullptr) channel->Release();
    EXPECT_TRUE(!stream->IsArmed() || stream->DeliverEnd());
    EXPECT_EQ(std::tuple(stream->IsOpen(), stream->Refs(), stream->Listener()), std::tuple(false, 1, nullptr));
    stream->Release();
  }
  // Delivers the bytes in receives of at most 1024 bytes while one is armed; "" is the peer's close.
  void Type(std::string bytes) {
    if (bytes.empty()) stream->DeliverEnd(104);
    while (!bytes.empty() && stream->Deliver(bytes, &bytes)) continue;
  }

  void OnLine(int, const TStringEx& line) override {
    lines += line.ToNarrow() + "|";
    if (onLine) onLine();
  }
  void OnKey(int, const TStringEx& text) override {
    keys += text.ToNarrow() + "|";
    if (!opt.completion.empty() && keys.ends_with("\t|")) channel->SetInputLine(opt.completion.c_str());
  }
  void OnTelnetCommand(int, const unsigned char* bytes) override {
    EXPECT_EQ(bytes[3], 0);
    commands.append(reinterpret_cast<const char*>(bytes), 3);
    if (bytes[1] == 254 && bytes[2] == 1) channel->SetEchoState(eEchoOff);
  }
  void OnChannelClosed(int id) override { closed += id == 7 ? 1 : 100; }  // a wrong id counts 100
  void GetPreviousCommand(int, TStringEx& text) override { text = opt.previous.c_str(); }
  void GetNextCommand(int, TStringEx& text) override { text = opt.next.c_str(); }

  const Options opt;
  FakeStream* stream = new FakeStream;
  TTelnetChannel* channel = new TTelnetChannel(stream, this);
  std::string lines, keys, commands;
  int closed = 0;
  std::function<void()> onLine;
};

struct Case {
  const char* name;
  Lines blocks;
  std::string lines, sent;
  Options more = {};
};

TEST(TelnetChannelTest, InputTable) {
  const std::string a1023(1023, 'a'), a4096(4096, 'a'), a4100(4100, 'a'), h1023(1023, 'h'), k1023(1023, 'k');
  const std::u16string h1500(1500, u'h'), k2000(2000, u'k');
  const std::string options = Iac({251, 3}) + Iac({253, 24}) + Iac({252, 255}) + Iac({254, 0}) + Iac({253, 10});
  const Case cases[] = {
      {"echo on, CR LF, peer's close", {"he", "lp\r\n", "\n", ""}, "help||", "help\r\n\r\n", {.closed = 1}},
      {"masked echo", {"pw\bx\n"}, "px|", "**\b \b*\r\n", {.echo = eEchoMasked}},
      {"client's DONT ECHO", {"a" + Iac({254, 1}) + "bc\b\n"}, "ab|", "a\b \b", {.commands = Iac({254, 1})}},
      {"option commands", {"ab" + options.substr(0, 3) + "c" + options.substr(3) + "d\n"}, "abcd|", "abcd\r\n",
       {.commands = options}},
      // IAC IAC is the data byte 255 (not printable); NOP, AYT, GA, a stray SE, 1 and 251..254 are dropped.
      {"IAC IAC, two-byte commands", {"a" + Iac({255}) + "b" + Iac({241}) + Iac({246}) + Iac({249}) + Iac({240}) +
       "\x01\xfb" "c\n"}, "abc|", "abc\r\n"},
      // IAC and another verb ends a subnegotiation; one never ended is given up after 1024 bytes.
      {"subnegotiations", {"a" + Iac({250, 24, 0}) + "xterm" + Iac({255, 3, 10, 8}) + Iac({240}) + "b\n",
       Iac({250, 31, 1}) + Iac({251, 1}) + "c\n", Iac({250}) + std::string(1024, 'q') + "ok\n"},
       "ab|c|ok|", "ab\r\nc\r\nok\r\n", {.commands = Iac({251, 1})}},
      {"commands split across blocks", {"x\xff", "\xfd", "\x18y\xff", "\xff\xff", "\xfa\x01", "\x02\xff", "\xf0z\n"},
       "xyz|", "xyz\r\n", {.commands = Iac({253, 24})}},
      {"CR NUL, lone CR", {"a\r", "\0"s, "b\r", "\n", "d\re\n", "f\r\r\0"s, "g\0h\n"s}, "a|b|de|f|gh|",
       "a\r\nb\r\nde\r\nf\r\ngh\r\n"},
      {"DEL and backspace", {"abc\x7f", "\b\n", "\b", "\x7fz\n", "\nab\0\0"s, "\b", "\n"}, "a|z||a|",
       "abc\b \b\b \b\r\n\b \b\b \bz\r\n\r\nab\b \b\r\n"},
      // Unlisted sequences end at five characters; a command inside one does not disturb it, IAC IAC is in it.
      {"escape sequences", {"ab\x1b[K", "c\x1b[1~x", "y", "d\n", "\x1b[1" + Iac({251, 1}) + Iac({255}), "2x"}, "d|",
       "abcd\r\n", {.keys = "[K|[1~xy|[1?2x|", .commands = Iac({251, 1})}},
      {"Up without history", {"xy\x1b[A", "z\n"}, "z|", "xyz\r\n", {.keys = "[A|"}},
      {"Up and Down with history", {"\x1b[A", "\x1b[B", "!\n"}, "sysinfo!|",
       kErase + "dbg 100%d" + kErase + "sysinfo!\r\n", {.previous = u"dbg 100%d", .next = u"sysinfo"}},
      {"long history entry", {"\x1b[A\n"}, h1023 + "|", kErase + h1023 + "\r\n", {.previous = h1500}},
      {"Right, Left", {"ls\x1b[C", "\x1b[D", "\x1b[C", "\n"}, "|", "ls" + kErase + "ls" + kErase + "\r\n",
       {.keys = "[D|[C|"}},
      {"Right redraws a password masked", {"pw\x1b[C\n"}, "pw|", "**" + kErase + "**\r\n", {.echo = eEchoMasked}},
      {"TAB", {"he\tlp\n", a1023 + "\t\n"}, "lp|" + a1023 + "|", "help\r\n" + a1023 + "\r\n", {.keys = "he\t|"}},
      {"TAB completed by the server", {"he\t", "x\b\b\n"}, "help|", "he" + kErase + "help x\b \b\b \b\r\n",
       {.keys = "he\t|", .completion = u"help "}},
      {"long completion", {"\t\n"}, k1023 + "|", kErase + k1023 + "\r\n", {.keys = "\t|", .completion = k2000}},
      // The character that finds the line full is not echoed.
      {"1024 characters", {a1023 + "\n", std::string(1024, 'b') + "\n", std::string(1025, 'c'), "x\n"}, a1023 + "|x|",
       a1023 + "\r\n" + std::string(1024, 'b') + "\r\n" + std::string(1024, 'c') + "x\r\n"},
      {"four overflows, a line end, four more", {a4100 + "\n" + a4100}, "|", a4096 + "\r\n" + a4096},
      {"fifth overflow", {std::string(5 * 1025, 'a'), "x\n"}, "", std::string(5 * 1024, 'a'), {.closed = 1}},
      {"Ctrl-C", {"ab\x03" "cd\n", "e\n"}, "", "ab", {.closed = 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Options& m = c.more;
    Rig rig(m);
    for (const std::string& block : c.blocks) rig.Type(block);
    EXPECT_EQ(std::tuple(rig.lines, rig.stream->TakeBytes(), rig.keys, rig.commands, rig.closed),
              std::tuple(c.lines, c.sent, m.keys, m.commands, m.closed));
    const bool open = m.closed == 0;  // open and receiving until the connection ended; sends fail after
    EXPECT_EQ(std::tuple(rig.stream->IsOpen(), rig.stream->IsArmed(), rig.channel->SendString("")),
              std::tuple(open, open, open));
    // A local close reports nothing and stops everything; a late completion changes nothing.
    rig.channel->Close();
    rig.Type("x\n");
    rig.channel->OnChannelRx(rig.stream, 0, nullptr, 0);
    EXPECT_EQ(std::tuple(rig.lines, rig.closed, rig.channel->SendString("x"), rig.channel->StartReceive()),
              std::tuple(c.lines, m.closed, false, false));
  }
}

TEST(TelnetChannelTest, CloseAndReleaseFromInsideOnLine) {
  Rig rig;
  rig.onLine = [&rig] {  // what the server does with a wrong password: answer, close, drop its reference
    rig.channel->SendLineText(u"Access denied");
    rig.channel->SetInputLine(u"");
    rig.channel->Close();
    rig.channel->Release();
    rig.channel = nullptr;
  };
  rig.Type("secret\nmore\n");
  EXPECT_EQ(std::tuple(rig.lines, rig.closed, rig.stream->IsArmed(), rig.stream->TakeBytes()),
            std::tuple("secret|"s, 0, false, "secret\r\nAccess denied\r\n" + kErase));
}

TEST(TelnetChannelTest, SendTextIsOneUnitConvertedInPieces) {
  Rig rig;
  const std::string text(2500, 'w');
  ASSERT_TRUE(rig.channel->SendLineText(u"%s<%d>", TStringEx(text.c_str()), 42));
  // A surrogate pair is never cut in two by the 1024-character pieces (here it becomes one '?',
  // the locale being ASCII).
  ASSERT_TRUE(rig.channel->SendText(u"%s", (std::u16string(1023, u'a') + u"\U0001F600b").c_str()));
  EXPECT_EQ(rig.stream->Pieces(), (Lines{text + "<42>\r\n", std::string(1023, 'a') + "?b"}));

  rig.stream->FailSendsAfter(0);
  EXPECT_FALSE(rig.channel->SendLineText(u"short"));
  rig.Type("echo me\n");
  EXPECT_EQ(rig.lines, "echo me|") << "failing echoes change nothing else";
}

// A line that arrives whole is echoed in one piece, so that no other output lands inside its echo;
// what the block does besides echo (a TAB, a key) comes after the echo before it.
TEST(TelnetChannelTest, EchoOfABlockIsOnePiece) {
  Rig rig;
  rig.Type("sysinfo +\b\b+\r\n");
  rig.Type("ab\x1b[Dcd\n");
  EXPECT_EQ(rig.stream->Pieces(), (Lines{"sysinfo +\b \b\b \b+\r\n", "ab", kErase, "cd\r\n"}));
}

// The server's output and input-line replacement race the receive path (checked under TSan).
TEST(TelnetChannelTest, OutputFromAnotherThreadWhileTyping) {
  testing_support::ActiveObjectEnvironment environment;  // for its watchdog
  Rig rig;
  std::atomic<bool> stop{false};
  std::thread console([&] {
    for (int i = 0; !stop.load(); ++i) {
      rig.channel->SetInputLine(u"cd");
      rig.channel->SendLineText(u"output %d", i);
    }
  });
  while (rig.stream->SendCalls() == 0) std::this_thread::yield();
  for (int i = 0; i < 500; ++i) rig.Type(i % 50 == 49 ? "\x1b[C\b\t\n" : "ab");
  stop = true;
  console.join();
  EXPECT_EQ(rig.lines.find_first_not_of("abcd|"), std::string::npos) << rig.lines;
}

}  // namespace
