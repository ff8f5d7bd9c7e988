// diagconsole-cmd's view of the wire: telnet negotiation, plain text out of telnet commands and
// escape sequences however the bytes are split, and a command's answer without its echo.
#include "apps/diagconsole-cmd/TelnetDecoder.h"

#include <gtest/gtest.h>

#include "apps/diagconsole-cmd/AnswerFilter.h"

namespace {

using diagcmd::AnswerFilter;
using diagcmd::TelnetDecoder;

std::string Replies(TelnetDecoder& decoder, const std::string& bytes) {
  std::string text, replies;
  decoder.Feed(bytes.data(), bytes.size(), &text, &replies);
  return replies;
}

TEST(DiagConsoleCmd, TakesEchoAndSuppressGoAheadRefusesTheRestAndNeverLoops) {
  TelnetDecoder decoder;
  // The console's connect bytes (DONT ECHO, WILL ECHO, WILL SGA), then WILL TTYPE and DO NAWS.
  EXPECT_EQ(Replies(decoder, "\xff\xfe\x01\xff\xfb\x01\xff\xfb\x03\xff\xfb\x18\xff\xfd\x1f"),
            "\xff\xfd\x01\xff\xfd\x03\xff\xfe\x18\xff\xfc\x1f");
  EXPECT_EQ(Replies(decoder, "\xff\xfb\x01"), "");
  EXPECT_EQ(Replies(decoder, "\xff\xfc\x01\xff\xfc\x01"), "\xff\xfe\x01");
}

TEST(DiagConsoleCmd, LeavesPlainTextWhereverTheBytesAreSplit) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xff\xfb\x01\x1b[40m\x1b[32;1m\x1b[2JGreetings!\n\r\r\n", "Greetings!\n\n"},
      {std::string("a\xff\xff\r\0b", 6), "a\xff" "b"},
      {"x\xff\xfa\x18\x01\xff\xff\xff\xf0y\xff\xf1z", "xyz"},
      {"\x1b]0;title\x07t\x1b]2;x\x1b\\u\x1b(Bv\x1b" "7w", "tuvw"},
      {"\x1b[1\nq", "\nq"},
  };
  for (const auto& [bytes, want] : cases) {
    TelnetDecoder whole, bytewise;
    std::string text, byByte, replies;
    whole.Feed(bytes.data(), bytes.size(), &text, &replies);
    for (char c : bytes) bytewise.Feed(&c, 1, &byByte, &replies);
    EXPECT_EQ(text, want);
    EXPECT_EQ(byByte, want);
  }
}

TEST(DiagConsoleCmd, DropsTheEchoOnceAndKeepsLinesAroundIt) {
  AnswerFilter answer;
  std::string out;
  answer.Begin("help");
  answer.Add("OrderBook level 1: tick 3\nhe", &out);
  answer.Add("lp\nhelp\nlast", &out);
  EXPECT_TRUE(answer.EchoSeen());
  answer.Finish(&out);
  EXPECT_EQ(out, "OrderBook level 1: tick 3\nhelp\nlast\n");
  // An interrupted echo is not taken for one: its pieces are printed.
  out.clear();
  answer.Begin("dbg ?");
  answer.Add("dbOrderBook level 1: tick 4\ng ?\n", &out);
  answer.Finish(&out);
  EXPECT_FALSE(answer.EchoSeen());
  EXPECT_EQ(out, "dbOrderBook level 1: tick 4\ng ?\n");
  out.clear();
  answer.Begin("stop");
  answer.Add("st", &out);
  answer.Finish(&out);
  EXPECT_EQ(out, "");
}

}  // namespace
