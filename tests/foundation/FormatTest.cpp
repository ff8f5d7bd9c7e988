// The printf-style formatter: conversions and flags, argument sizes, mismatched or missing
// arguments, truncation by FormatTo, and TStringEx::Format around its stack buffer.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "foundation/Format.h"
#include "foundation/TStringEx.h"

namespace {

// Formats into a roomy buffer and checks that the reported length matches what was written.
template <class... Args>
std::u16string F(const char16_t* format, const Args&... args) {
  return WithFormatArgs(
      [&](const FormatArg* argv, std::size_t count) {
        char16_t buffer[512];
        std::size_t n = FormatTo(buffer, 512, format, argv, count);
        std::u16string text(buffer);
        EXPECT_EQ(n, text.size());
        return text;
      },
      args...);
}

TEST(Format, WidthFlagsAndPrecision) {
  EXPECT_EQ(F(u"  %-13s %s", u"name", u"value"), u"  name          value");
  EXPECT_EQ(F(u"%5d|%-5d|%05d|%+d|% d|%+d", 42, 42, 42, 42, 42, -42), u"   42|42   |00042|+42| 42|-42");
  EXPECT_EQ(F(u"%x %X %#x %#X %o %#o %#x", 255, 255, 255, 255, 8, 8, 0), u"ff FF 0xff 0XFF 10 010 0");
  EXPECT_EQ(F(u"%.3d|%6.3d|%-6.3d|%06.3d|%.0d|%05d", 7, 7, 7, 7, 0, -7), u"007|   007|007   |   007||-0007");
  EXPECT_EQ(F(u"%*d|%-*d|%*d|%.*s|%.*s", 4, 7, 3, 7, -3, 7, 2, u"abcdef", -1, u"abc"), u"   7|7  |7  |ab|abc");
  EXPECT_EQ(F(u"%c%c%3c%%", u'A', 'b', u'c'), u"Ab  c%");
  EXPECT_EQ(F(u"%.2s|%-4s|%4s", u"abc", u"ab", u"ab"), u"ab|ab  |  ab");
  // The sign flags belong to signed conversions; an octal prefix only guarantees a leading zero.
  EXPECT_EQ(F(u"%+u|% x|%+X|%#.5o|%#.0o", 5u, 255, 255, 8, 0), u"5|ff|FF|00010|0");
  const void* p = reinterpret_cast<const void*>(std::uintptr_t{0xAB});
  EXPECT_EQ(F(u"%p", p), std::u16string(sizeof(void*) * 2 - 2, u'0') + u"AB");
  // Length modifiers are accepted and ignored.
  EXPECT_EQ(F(u"%I64d %I32u %lld %hd %zu %ls %ws", std::int64_t{-5}, 6u, 7LL, 8, std::size_t{9}, u"a", u"b"),
            u"-5 6 7 8 9 a b");
}

TEST(Format, IntegersUseTheirOwnSize) {
  EXPECT_EQ(F(u"%u %x %X", -1, -1, -1), u"4294967295 ffffffff FFFFFFFF");
  EXPECT_EQ(F(u"%d", std::uint32_t{0xFFFFFFFF}), u"-1");
  EXPECT_EQ(F(u"%x %u %d", std::int8_t{-1}, std::int16_t{-1}, std::uint16_t{0xFFFF}), u"ff 65535 -1");
  EXPECT_EQ(F(u"%d %u", INT64_MIN, UINT64_MAX), u"-9223372036854775808 18446744073709551615");
  EXPECT_EQ(F(u"%x %o", std::int64_t{-1}, UINT64_MAX), u"ffffffffffffffff 1777777777777777777777");
  EXPECT_EQ(F(u"%d %d %d", true, u'A', INT32_MIN), u"1 65 -2147483648");
}

TEST(Format, MissingAndMismatchedArgumentsAreSafe) {
  EXPECT_EQ(F(u"a%db%sc%xd%*.*se"), u"abcde");
  EXPECT_EQ(F(u"[%d|%s]", u"text", 5), u"[|5]");  // text for %d prints nothing, a number for %s prints it
  EXPECT_EQ(F(u"[%5s|%-4s|%s]", -3, 7u, u'z'), u"[   -3|7   |z]");
  EXPECT_EQ(F(u"%n%f%e%g|%d", 1, 2, 3, 4, 5), u"|5");
  EXPECT_EQ(F(u"[%s|%s|%3s]", static_cast<const char16_t*>(nullptr), TStringEx(), TStringEx()), u"[(null)||   ]");
  EXPECT_EQ(F(u"%y %5k %#-3r", 1), u"%y %5k %#-3r");  // unknown letters stand as written
  EXPECT_EQ(F(u"abc%") + F(u"x%-5", 1) + F(u"%I3", 1), u"abc%x%-5%I3");  // cut-off conversions
  EXPECT_EQ(F(u"%c|%d", u"text", 3), u"|3");
  EXPECT_EQ(F(u"%s %S %.3s %s", "narrow", "wide", "abcdef", static_cast<const char*>(nullptr)),
            u"narrow wide abc (null)");
}

TEST(Format, FormatToTruncatesAndReportsTheWholeLength) {
  const FormatArg args[] = {MakeFormatArg(u"world")};
  char16_t buffer[8] = {u'#', u'#', u'#', u'#', u'#', u'#', u'#', u'#'};
  EXPECT_EQ(FormatTo(buffer, 0, u"hello %s", args, 1), 11u);
  EXPECT_EQ(buffer[0], u'#');  // capacity 0 writes nothing
  EXPECT_EQ(FormatTo(buffer, 1, u"hello %s", args, 1), 11u);
  EXPECT_TRUE(buffer[0] == 0 && buffer[1] == u'#');
  EXPECT_EQ(FormatTo(buffer, 6, u"hello %s", args, 1), 11u);
  EXPECT_EQ(std::u16string(buffer), u"hello");
  EXPECT_EQ(buffer[6], u'#');
  EXPECT_EQ(FormatTo(buffer, 8, nullptr, args, 1), 0u);
  EXPECT_EQ(buffer[0], 0);
}

TEST(Format, HugeWidthsAreCapped) {
  const FormatArg args[] = {MakeFormatArg(INT32_MIN), MakeFormatArg(2), MakeFormatArg(1)};
  char16_t buffer[16];
  std::size_t n = FormatTo(buffer, 16, u"%999999999999999999999d", args + 2, 1);
  EXPECT_TRUE(n > 1000u && n <= std::size_t{1} << 24) << n;
  EXPECT_EQ(std::u16string(buffer), std::u16string(15, u' '));
  n = FormatTo(buffer, 16, u"%*d|%.99999999999d", args, 3);
  EXPECT_TRUE(n > 1000u && n <= std::size_t{1} << 25) << n;
  EXPECT_EQ(buffer[0], u'2');  // a negative * width means left-justified
}

TEST(Format, StringFormatAroundTheStackBufferAndIntoItself) {
  for (std::size_t length : {255u, 256u, 257u, 300u, 1500u}) {
    std::u16string expected(length - 1, u'x');
    TStringEx s;
    s.Format(u"%s!", expected.c_str());
    expected += u'!';
    EXPECT_EQ(s.Size(), length + 1);
    EXPECT_EQ(s, expected.c_str());
  }
  TStringEx s(u"ab");
  s.Format(u"%s%s", s, s);
  EXPECT_EQ(s, u"abab");
  TStringEx long_text(std::u16string(200, u'q').c_str());
  long_text.Format(u"%s-%s", long_text, long_text);  // the heap path reads its own text too
  EXPECT_EQ(long_text, (std::u16string(200, u'q') + u"-" + std::u16string(200, u'q')).c_str());
  s.Format(nullptr);
  EXPECT_EQ(s, u"abab");
  s.Format(u"%s", TStringEx());  // an empty result releases the buffer
  EXPECT_EQ(s.Size(), 0u);
}

}  // namespace
