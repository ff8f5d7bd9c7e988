// TStringEx: buffer ownership and exact growth, comparison, clamped pieces and searches, split and
// join, number parsing; TStringExArray copies and out-of-range access.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <utility>

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

}  // namespace
