#include "foundation/TRegEditor.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/TestSupport.h"

using namespace platform;

namespace {

constexpr const char16_t* kKey = u"SOFTWARE\\Editor";

// Forwards every call, counting handles opened and close calls (equal when every handle opened
// was closed once) and values set.
class CountingImp : public TRegEditorImp {
 public:
  struct Counts {
    int opened = 0, closed = 0, sets = 0;
  };
  explicit CountingImp(Counts* counts) : m_counts(counts) {}

  LONG RegCreateKeyExW(HKEY key, const char16_t* subKey, DWORD reserved, char16_t* className, DWORD options,
                       REGSAM access, const void* security, HKEY* result, DWORD* disposition) override {
    LONG err = TRegEditorImp::RegCreateKeyExW(key, subKey, reserved, className, options, access, security, result,
                                              disposition);
    return m_counts->opened += err == ERROR_SUCCESS, err;
  }
  LONG RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD options, REGSAM access, HKEY* result) override {
    LONG err = TRegEditorImp::RegOpenKeyExW(key, subKey, options, access, result);
    return m_counts->opened += err == ERROR_SUCCESS, err;
  }
  LONG RegCloseKey(HKEY key) override { return ++m_counts->closed, TRegEditorImp::RegCloseKey(key); }
  LONG RegSetValueExW(HKEY key, const char16_t* name, DWORD reserved, DWORD type, const BYTE* data,
                      DWORD size) override {
    return ++m_counts->sets, TRegEditorImp::RegSetValueExW(key, name, reserved, type, data, size);
  }

 private:
  Counts* m_counts;
};

class TRegEditorTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(counts.opened, counts.closed); }

  testing_support::ScopedRegistry reg;
  CountingImp::Counts counts;
  TRegEditor editor{3, TStringEx(), std::make_unique<CountingImp>(&counts)};
};

}  // namespace

TEST_F(TRegEditorTest, StringsReadBackAndMissingOnesReadAsFalse) {
  TStringEx text;
  auto read = [&](const char16_t* key, const char16_t* name) {
    text = u"stale";
    return editor.ReadString(3, key, name, text);
  };
  EXPECT_FALSE(read(kKey, u"Name"));  // no key yet
  EXPECT_TRUE(text.IsEmpty());
  ASSERT_TRUE(editor.WriteString(3, u"SOFTWARE\\Editor\\Deep\\Er", u"Name", u"value"));
  EXPECT_TRUE(read(u"software\\editor\\deep\\ER", u"NAME"));
  EXPECT_EQ(text, u"value");
  ASSERT_TRUE(editor.WriteString(3, kKey, u"Empty", nullptr));
  ASSERT_TRUE(editor.WriteDword(3, kKey, u"Number", 7));
  EXPECT_TRUE(read(kKey, u"Empty") && text.IsEmpty());
  EXPECT_TRUE(read(kKey, u"Number") && text.IsEmpty());  // another type: true, but empty
  EXPECT_FALSE(read(kKey, u"Missing"));
  EXPECT_TRUE(text.IsEmpty());
}

TEST_F(TRegEditorTest, MuiStringsReadPlainTextOfAnyLength) {
  std::u16string longText(300, u'w');
  ASSERT_TRUE(editor.WriteString(3, kKey, u"Long", longText.c_str()));
  ASSERT_TRUE(editor.WriteString(3, kKey, u"Indirect", u"@tolvane.dll,-5"));
  TStringEx text;
  EXPECT_TRUE(editor.ReadMUIString(3, kKey, u"Long", text));
  EXPECT_EQ(text, longText.c_str());
  EXPECT_FALSE(editor.ReadMUIString(3, kKey, u"Indirect", text));
  // Text stored without a terminator and ending in half a unit: no read runs past it.
  const char odd[] = {'a', 0, 'b', 0, 'c'};
  ASSERT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"Odd", 0, REG_SZ, reinterpret_cast<const BYTE*>(odd), 5), 0);
  EXPECT_TRUE(editor.ReadString(3, u"", u"Odd", text));
  EXPECT_EQ(text, u"ab");
  EXPECT_TRUE(editor.ReadMUIString(3, u"", u"Odd", text));
  EXPECT_EQ(text.Left(2), u"ab");
}

TEST_F(TRegEditorTest, DwordsAndBoolsWriteOnlyWhatChanged) {
  ASSERT_TRUE(editor.WriteDword(3, kKey, u"N", 5));
  Event changed(true, false);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_NOTIFY, &key), ERROR_SUCCESS);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_LAST_SET, &changed, true), ERROR_SUCCESS);
  EXPECT_TRUE(editor.WriteDword(3, kKey, u"n", 5));
  EXPECT_EQ(counts.sets, 1);
  EXPECT_FALSE(changed.IsSet());
  EXPECT_TRUE(editor.WriteDword(3, kKey, u"N", 6));
  EXPECT_EQ(counts.sets, 2);
  EXPECT_TRUE(changed.IsSet());
  RegCloseKey(key);
  // A REG_SZ holding the same number is another value: it is replaced by the REG_DWORD.
  ASSERT_TRUE(editor.WriteString(3, kKey, u"N", u"6"));
  EXPECT_TRUE(editor.WriteDword(3, kKey, u"N", 6));
  EXPECT_EQ(counts.sets, 4);
  DWORD number = 0;
  EXPECT_TRUE(editor.ReadDword(3, kKey, u"N", number));
  EXPECT_EQ(number, 6u);
  // A value of another type, or none, leaves the result alone.
  ASSERT_TRUE(editor.WriteString(3, kKey, u"S", u"12"));
  EXPECT_TRUE(editor.ReadDword(3, kKey, u"S", number));
  EXPECT_FALSE(editor.ReadDword(3, kKey, u"Missing", number));
  EXPECT_EQ(number, 6u);
  bool flag = false;
  for (bool value : {true, false}) {
    ASSERT_TRUE(editor.WriteBool(3, kKey, u"B", value));
    EXPECT_TRUE(editor.ReadBool(3, kKey, u"B", flag));
    EXPECT_EQ(flag, value);
  }
  flag = true;
  EXPECT_FALSE(editor.ReadBool(3, kKey, u"Missing", flag));
  EXPECT_TRUE(flag);
}

// Runs every operation once on data that a local editor finds under root 3; the successes.
static int Successes(TRegEditor& e, DWORD root) {
  TStringEx s;
  DWORD d = 0;
  bool b = false;
  bool results[] = {e.ReadString(root, kKey, u"S", s),     e.WriteString(root, kKey, u"S", u"x"),
                    e.ReadDword(root, kKey, u"D", d),      e.WriteDword(root, kKey, u"D", 2),
                    e.ReadBool(root, kKey, u"D", b),       e.WriteBool(root, kKey, u"D", true),
                    e.EnumKey(root, kKey, 0, s),           e.GetKeyCount(root, kKey, d),
                    e.EnumValue(root, kKey, 0, s),         e.GetValueCount(root, kKey, d),
                    e.KeyExists(root, kKey),               e.ReadMUIString(root, kKey, u"S", s),
                    e.CreateKey(root, u"SOFTWARE\\New"),   e.DeleteValue(root, kKey, u"S"),
                    e.CopyKeyTree(root, kKey, root, u"SOFTWARE\\Copy"), e.DeleteKeyTree(root, kKey)};
  return static_cast<int>(std::count(std::begin(results), std::end(results), true));
}

TEST_F(TRegEditorTest, BadRootsAndRemoteMachinesFailEverywhere) {
  ASSERT_TRUE(editor.WriteString(3, kKey, u"S", u"text"));
  ASSERT_TRUE(editor.WriteDword(3, kKey, u"D", 1));
  ASSERT_TRUE(editor.CreateKey(3, u"SOFTWARE\\Editor\\Sub"));
  EXPECT_EQ(Successes(editor, 5), 0);
  CountingImp::Counts remoteCounts;
  TRegEditor remote(3, TStringEx(u"server"), std::make_unique<CountingImp>(&remoteCounts));
  EXPECT_EQ(Successes(remote, 3), 0);
  EXPECT_EQ(remoteCounts.opened, remoteCounts.closed);
  EXPECT_EQ(Successes(editor, 3), 16);  // the same calls, locally: the data was there
}

TEST_F(TRegEditorTest, CopiesAndDeletesKeyTrees) {
  ASSERT_TRUE(editor.WriteString(3, u"SOFTWARE\\Src", u"Top", u"t"));
  ASSERT_TRUE(editor.WriteDword(3, u"SOFTWARE\\Src\\A\\Deep", u"N", 3));
  ASSERT_TRUE(editor.CreateKey(3, u"SOFTWARE\\Src\\B"));
  ASSERT_TRUE(editor.CopyKeyTree(3, u"SOFTWARE\\Src", 2, u"SOFTWARE\\Dst"));
  TStringEx text;
  DWORD number = 0, count = 0;
  EXPECT_TRUE(editor.ReadString(2, u"SOFTWARE\\Dst", u"Top", text));
  EXPECT_EQ(text, u"t");
  EXPECT_TRUE(editor.ReadDword(2, u"SOFTWARE\\Dst\\A\\Deep", u"N", number));
  EXPECT_EQ(number, 3u);
  EXPECT_TRUE(editor.GetKeyCount(2, u"SOFTWARE\\Dst", count));
  EXPECT_EQ(count, 2u);
  // Never into the key's own subtree, whatever the case or a trailing backslash; a sibling whose
  // name merely starts with the source's is somewhere else.
  EXPECT_FALSE(editor.CopyKeyTree(3, u"SOFTWARE\\Src", 3, u"software\\SRC\\A\\Copy"));
  EXPECT_FALSE(editor.CopyKeyTree(3, u"SOFTWARE\\Src\\", 3, u"SOFTWARE\\Src"));
  EXPECT_FALSE(editor.KeyExists(3, u"SOFTWARE\\Src\\A\\Copy"));
  EXPECT_TRUE(editor.CopyKeyTree(3, u"SOFTWARE\\Src\\A", 3, u"SOFTWARE\\Src\\AB"));
  EXPECT_TRUE(editor.KeyExists(3, u"SOFTWARE\\Src\\AB\\Deep"));
  EXPECT_TRUE(editor.DeleteKeyTree(3, u"SOFTWARE\\Src"));
  EXPECT_FALSE(editor.KeyExists(3, u"SOFTWARE\\Src"));
  EXPECT_FALSE(editor.DeleteKeyTree(3, u"SOFTWARE\\Src"));
  // A root cannot be deleted: the call fails and removes nothing under it.
  EXPECT_FALSE(editor.DeleteKeyTree(2, u""));
  EXPECT_TRUE(editor.KeyExists(2, u"SOFTWARE\\Dst\\A\\Deep"));
}
