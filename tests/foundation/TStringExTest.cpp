// TStringEx: buffer ownership and exact growth, comparison, clamped pieces and searches, split and
// join, number parsing; TStringExArray copies and out-of-range access. The printf-style formatter:
// conversions and flags, argument sizes, mismatched or missing arguments, truncation by FormatTo,
// and TStringEx::Format around its stack buffer.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>

#include "foundation/Format.h"
#include "foundation/TStringEx.h"
#include "foundation/TStringExArray.h"

namespace {

TEST(TStringEx, BufferAndExactGrowth) {
  TStringEx s(u"hello");
  s = u"hi";  // shorter text keeps the larger buffer
  s.Append(u"!!!");
  EXPECT_EQ(s.Size(), 6u);
  s.Append(u'?');  // grows to exactly what is needed
  s.Append(static_cast<const char*>(nullptr));
  EXPECT_EQ(s, u"hi!!!?");
  EXPECT_EQ(s.Size(), 7u);
  s = u"";  // empty text releases the buffer
  EXPECT_EQ(s.Length() + s.Size(), 0u);
  EXPECT_EQ(s.Buffer(), nullptr);
  EXPECT_EQ(std::u16string(s.c_str()), u"");
  s.Alloc(10);
  EXPECT_TRUE(s.IsEmpty());
  s.Append("narrow");
  EXPECT_EQ(s, u"narrow");
  EXPECT_EQ(s.Size(), 10u);
}

TEST(TStringEx, SelfAppendCopyAndMove) {
  TStringEx s(u"ab");
  s.Append(s);  // grows while reading its own text
  s.Append(s);
  EXPECT_EQ(s, u"abababab");
  TStringEx roomy;
  roomy.Alloc(20);
  roomy = u"xy";
  roomy.Append(roomy);  // fits in place
  roomy.Append(roomy.Buffer() + 1);
  EXPECT_EQ(roomy, u"xyxyyxy");
  EXPECT_EQ(roomy.Size(), 20u);

  TStringEx copy(s);
  copy.Append(u"!");
  EXPECT_EQ(s, u"abababab");
  TStringEx moved(std::move(copy));
  EXPECT_EQ(copy.Size(), 0u);  // NOLINT(bugprone-use-after-move): a moved-from string is empty
  s = std::move(moved);
  EXPECT_EQ(s, u"abababab!");
}

TEST(TStringEx, OrdinalCompare) {
  TStringEx null, empty;
  empty.Alloc(4);
  // Units compare unsigned; a null buffer is the empty text.
  const std::tuple<TStringEx, const char16_t*, int> cases[] = {
      {null, empty.c_str(), 0}, {empty, nullptr, 0}, {null, u"a", -1}, {TStringEx(u"a"), empty.c_str(), 1},
      {TStringEx(u"ab"), u"abc", -1}, {TStringEx(u"abc"), u"ab", 1}, {TStringEx(u"\x8000"), u"\x7FFF", 1}};
  for (const auto& [left, right, expected] : cases) EXPECT_EQ(left.Compare(right), expected) << left.ToNarrow();
  EXPECT_TRUE(TStringEx(u"z") < TStringEx(u"\xFFFF"));
}

TEST(TStringEx, PiecesClampTheirArguments) {
  const TStringEx s(u"abcdef");
  for (const auto& [piece, expected] : {std::pair{s.Left(3), u"abc"}, {s.Left(100), u"abcdef"}, {s.Right(2), u"ef"},
                                        {s.Right(INT_MAX), u"abcdef"}, {s.Mid(2, 2), u"cd"}, {s.Mid(4, INT_MAX), u"ef"},
                                        {s.Mid(INT_MIN, INT_MAX), u"abcdef"}})
    EXPECT_EQ(piece, expected);
  for (const TStringEx& piece : {s.Left(0), s.Left(INT_MIN), s.Right(-1), s.Right(INT_MIN), s.Mid(6, 1),
                                 s.Mid(INT_MAX, INT_MAX), s.Mid(2, -1), TStringEx().Mid(0, 5), TStringEx().Right(5)})
    EXPECT_TRUE(piece.IsEmpty());

  const std::tuple<int, int, const char16_t*> deletes[] = {{1, 2, u"adef"}, {4, 100, u"abcd"}, {0, INT_MAX, u""},
      {-1, 2, u"abcdef"}, {6, 1, u"abcdef"}, {INT_MAX, 1, u"abcdef"}, {1, 0, u"abcdef"}, {1, INT_MIN, u"abcdef"}};
  for (auto [position, count, expected] : deletes) {
    TStringEx t = s;
    t.Delete(position, count);
    EXPECT_EQ(t, expected) << position << "," << count;
  }
  TStringEx none;
  none.Delete(0, 1);
  EXPECT_TRUE(none.IsEmpty());

  EXPECT_EQ(s[5], u'f');
  for (int outside : {-1, static_cast<int>(s.Size()), INT_MAX, INT_MIN}) EXPECT_EQ(s[outside], 0) << outside;
  EXPECT_EQ(TStringEx()[0], 0);
}

TEST(TStringEx, FindAndFindNoCase) {
  const TStringEx s(u"abcdefcd");
  // Each position found, and the expected one; the needle "cdx" would run past the end.
  const std::pair<int, int> found[] = {{s.Find(u'c', 3), 6}, {s.Find(u'a', -5), 0}, {s.Find(u"cd", 3), 6},
      {s.Find(u"cd", INT_MIN), 2}, {s.Find(u"cdx"), -1}, {s.Find(u"", 3), 3}, {s.Find(u"", INT_MAX), -1},
      {s.Find(nullptr), 0}, {TStringEx().Find(u""), 0}, {s.FindNoCase(u"CD", 3), 6},
      {s.FindNoCase(u"a", INT_MAX), -1}, {TStringEx(u"Grüße ÉTÉ").FindNoCase(u"été"), 6}};
  for (std::size_t i = 0; i < std::size(found); ++i) EXPECT_EQ(found[i].first, found[i].second) << "row " << i;
}

TEST(TStringEx, TrimSplitAndJoin) {
  TStringEx t(u"xxabxx");
  t.TrimLeft(u'x');
  t.TrimRight(u'x');
  EXPECT_EQ(t, u"ab");
  t = u"xxx";
  t.TrimLeft(u'x');
  EXPECT_EQ(t.Length(), 0u);

  TStringExArray items;
  items.Add(u"stale");
  TStringEx(u"   a  b").Split(u' ', items);
  ASSERT_EQ(items.GetCount(), 2);
  EXPECT_EQ(items[0], u"a");
  EXPECT_EQ(items[1], u"b");
  TStringEx(u",,a,,bc,d,,").Split(u',', items);
  EXPECT_EQ(TStringEx::Join(items, u'+'), u"a+bc+d");
  TStringEx(u"   ").Split(u' ', items);
  EXPECT_EQ(items.GetCount(), 0);
  EXPECT_TRUE(TStringEx::Join(items, u',').IsEmpty());
  items.Add(TStringEx());
  items.Add(u"x");
  EXPECT_EQ(TStringEx::Join(items, u','), u",x");
}

TEST(TStringEx, ToInt) {
  // Clamped to the 32-bit range; base 0 takes the prefix; a bad base or no digits give 0.
  const std::tuple<const char16_t*, int, std::int32_t> cases[] = {
      {u" \t -42x", 10, -42}, {u"+ff", 16, 255}, {u"0x1A", 16, 26}, {u"-0X1a", 0, -26}, {u"017", 0, 15},
      {u"z", 36, 35}, {u"2147483648", 10, INT32_MAX}, {u"99999999999999999999", 10, INT32_MAX},
      {u"-2147483648", 10, INT32_MIN}, {u"-99999999999999999999", 0, INT32_MIN}, {u"0x1A", 10, 0},
      {u"0xg", 16, 0}, {u"", 10, 0}, {u"5", 1, 0}, {u"5", -1, 0}, {u"5", 37, 0}};
  for (auto [text, base, expected] : cases)
    EXPECT_EQ(TStringEx(text).ToInt(base), expected) << TStringEx(text).ToNarrow() << " base " << base;
}

TEST(TStringExArray, CopiesAndRangeChecks) {
  TStringExArray a;
  TStringEx item(u"one");
  a.Add(item);
  item = u"two";  // the array holds its own copy
  a.Add(item);
  a.Add(a[0]);
  ASSERT_EQ(a.GetCount(), 3);
  EXPECT_EQ(a[2], u"one");
  EXPECT_TRUE(a[-1].IsEmpty() && a[3].IsEmpty());
  EXPECT_TRUE(a.GetAt(-1) == nullptr && a.GetAt(3) == nullptr);

  TStringExArray b(a);
  a.GetAt(1)->Append(u"!");
  EXPECT_EQ(b[1], u"two");
  b = a;
  EXPECT_EQ(b[1], u"two!");
  b.CopyFrom(b);
  EXPECT_EQ(b[2], u"one");
}

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
