// Text conversions: fixed UTF-8 <-> UTF-16 with U+FFFD for malformed input, and locale narrow text
// in the "C" locale (where non-ASCII becomes '?') and in a UTF-8 locale.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "foundation/TStringEx.h"
#include "platform/TextConvert.h"

namespace {

using namespace std::string_literals;
using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

std::string Narrow(const std::u16string& text) {
  std::string out = "<";
  platform::AppendUtf16ToNarrow(text.data(), text.size(), out);
  return out;
}

std::u16string Wide(const std::string& text) {
  std::u16string out = u"<";
  platform::AppendNarrowToUtf16(text.data(), text.size(), out);
  return out;
}

// Switches the process locale for one test and puts the previous one back.
struct ScopedLocale {
  explicit ScopedLocale(const char* name)
      : previous(std::setlocale(LC_ALL, nullptr)), active(std::setlocale(LC_ALL, name) != nullptr) {}
  ~ScopedLocale() { std::setlocale(LC_ALL, previous.c_str()); }
  const std::string previous;
  const bool active;
};

TEST(TextConvert, Utf8RoundTrip) {
  const std::u16string text = u"a\u00E9\u20AC\U0001F600\0z"s;
  const std::string utf8 = Utf16ToUtf8(text.data(), text.size());
  EXPECT_EQ(utf8, std::string("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\0z", 12));
  EXPECT_EQ(Utf8ToUtf16(utf8.data(), utf8.size()), text);
  EXPECT_EQ(Utf16ToUtf8(nullptr, 0), "");
}

TEST(TextConvert, MalformedTextBecomesReplacementCharacters) {
  const std::u16string lone = u"\xD800x\xDC00y\xD800";
  EXPECT_EQ(Utf16ToUtf8(lone.data(), lone.size()), "\xEF\xBF\xBDx\xEF\xBF\xBDy\xEF\xBF\xBD");
  // A bad sequence is replaced, and what follows it is still read.
  for (const std::string bad : {"\xFF", "\xC3", "\xC0\xAF", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                "\xE2\x82", "\x80"}) {
    const std::string input = bad + "ok";
    const std::u16string out = Utf8ToUtf16(input.data(), input.size());
    ASSERT_GE(out.size(), 3u) << input;
    EXPECT_EQ(out.substr(out.size() - 2), u"ok") << input;
    for (std::size_t i = 0; i + 2 < out.size(); ++i) EXPECT_EQ(out[i], 0xFFFD) << input;
  }
}

TEST(TextConvert, CLocaleNarrowText) {
  ScopedLocale locale("C");
  EXPECT_EQ(Narrow(u"plain ASCII"), "<plain ASCII");
  EXPECT_EQ(Wide("plain ASCII"), u"<plain ASCII");
  EXPECT_EQ(Narrow(u"a\u00E9b\U0001F600c"), "<a?b?c");
  EXPECT_EQ(Wide("a\xE9" "b"), u"<a?b");
  // A lone surrogate is one unconvertible unit: the character after it survives.
  EXPECT_EQ(Narrow(u"\xD800" u"A\xDC00" u"B"), "<?A?B");
  EXPECT_EQ(TStringEx(u"x\u00E9").ToNarrow(), "x?");
}

TEST(TextConvert, Utf8LocaleNarrowText) {
  ScopedLocale locale("C.UTF-8");
  if (!locale.active) GTEST_SKIP() << "no C.UTF-8 locale";
  EXPECT_EQ(Narrow(u"\u00E9t\u00E9 \U0001F600"), "<\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(Wide("\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80"), u"<\u00E9t\u00E9 \U0001F600");
  EXPECT_EQ(Wide("\xC3(\xFFz\xE2\x82"), u"<?(?z??");
  EXPECT_EQ(Narrow(u"\xD800" u"A\xDC00"), "<?A?");
  EXPECT_EQ(TStringEx("\xC3\xA9").ToNarrow(), "\xC3\xA9");
  TStringEx formatted;
  formatted.Format(u"[%s]", "\xC3\xA9");
  EXPECT_EQ(formatted, u"[\u00E9]");
}

}  // namespace
