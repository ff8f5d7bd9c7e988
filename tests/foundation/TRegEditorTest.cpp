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

// Forwards every call, counting the handles still open: zero when every handle opened was closed once.
class CountingImp : public TRegEditorImp {
 public:
  explicit CountingImp(int* open) : m_open(open) {}

  LONG RegCreateKeyExW(HKEY key, const char16_t* subKey, DWORD reserved, char16_t* className, DWORD options,
                       REGSAM access, const void* security, HKEY* result, DWORD* disposition) override {
    LONG err = TRegEditorImp::RegCreateKeyExW(key, subKey, reserved, className, options, access, security, result,
                                              disposition);
    return *m_open += err == ERROR_SUCCESS, err;
  }
  LONG RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD options, REGSAM access, HKEY* result) override {
    LONG err = TRegEditorImp::RegOpenKeyExW(key, subKey, options, access, result);
    return *m_open += err == ERROR_SUCCESS, err;
  }
  LONG RegCloseKey(HKEY key) override { return --*m_open, TRegEditorImp::RegCloseKey(key); }

 private:
  int* m_open;
};

class TRegEditorTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(open, 0); }

  testing_support::ScopedRegistry reg;
  int open = 0;
  TRegEditor editor{3, TStringEx(), std::make_unique<CountingImp>(&open)};
};

}  // namespace

TEST_F(TRegEditorTest, StringsReadBackWholeAndMissingOnesReadAsFalse) {
  TStringEx text;
  auto read = [&](const char16_t* key, const char16_t* name) {
    text = u"stale";
    return editor.ReadString(3, key, name, text);
  };
  EXPECT_FALSE(read(kKey, u"Name"));  // no key yet
  EXPECT_TRUE(text.IsEmpty());
  std::u16string longText(300, u'w');
  ASSERT_TRUE(editor.WriteString(3, u"SOFTWARE\\Editor\\Deep", u"Long", longText.c_str()));
  EXPECT_TRUE(read(u"software\\editor\\DEEP", u"LONG"));
  EXPECT_EQ(text, longText.c_str());
  EXPECT_TRUE(editor.ReadMUIString(3, u"SOFTWARE\\Editor\\Deep", u"Long", text));
  EXPECT_EQ(text, longText.c_str());
  ASSERT_TRUE(editor.WriteString(3, kKey, u"Empty", nullptr));
  EXPECT_TRUE(read(kKey, u"Empty") && text.IsEmpty());
  EXPECT_FALSE(read(kKey, u"Missing"));
  EXPECT_TRUE(text.IsEmpty());
  // Text stored without a terminator and ending in half a unit: no read runs past it.
  const char odd[] = {'a', 0, 'b', 0, 'c'};
  ASSERT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"Odd", 0, REG_SZ, reinterpret_cast<const BYTE*>(odd), 5), 0);
  EXPECT_TRUE(read(u"", u"Odd"));
  EXPECT_EQ(text, u"ab");
}

TEST_F(TRegEditorTest, WriteDwordRewritesOnlyAChangedDword) {
  ASSERT_TRUE(editor.WriteDword(3, kKey, u"N", 5));
  Event changed(true, false);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_NOTIFY, &key), ERROR_SUCCESS);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_LAST_SET, &changed, true), ERROR_SUCCESS);
  EXPECT_TRUE(editor.WriteDword(3, kKey, u"n", 5));
  EXPECT_FALSE(changed.IsSet());
  EXPECT_TRUE(editor.WriteDword(3, kKey, u"N", 6));
  EXPECT_TRUE(changed.IsSet());
  RegCloseKey(key);
  // A REG_SZ holding the same number is another value: the REG_DWORD replaces it. ReadDword of a
  // REG_SZ succeeds but leaves the result alone, so reading 6 shows the replacement.
  ASSERT_TRUE(editor.WriteString(3, kKey, u"N", u"6"));
  EXPECT_TRUE(editor.WriteDword(3, kKey, u"N", 6));
  DWORD number = 0;
  EXPECT_TRUE(editor.ReadDword(3, kKey, u"N", number));
  EXPECT_EQ(number, 6u);
  ASSERT_TRUE(editor.WriteString(3, kKey, u"S", u"12"));
  EXPECT_TRUE(editor.ReadDword(3, kKey, u"S", number));
  EXPECT_FALSE(editor.ReadDword(3, kKey, u"Missing", number));
  EXPECT_EQ(number, 6u);
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
  int remoteOpen = 0;
  TRegEditor remote(3, TStringEx(u"server"), std::make_unique<CountingImp>(&remoteOpen));
  EXPECT_EQ(Successes(remote, 3), 0);
  EXPECT_EQ(remoteOpen, 0);
  EXPECT_EQ(Successes(editor, 3), 16);  // the same calls, locally: the data was there
}

TEST_F(TRegEditorTest, CopiesAndDeletesKeyTrees) {
  ASSERT_TRUE(editor.WriteDword(3, u"SOFTWARE\\Src\\A\\Deep", u"N", 3));
  ASSERT_TRUE(editor.CreateKey(3, u"SOFTWARE\\Src\\B"));
  ASSERT_TRUE(editor.CopyKeyTree(3, u"SOFTWARE\\Src", 2, u"SOFTWARE\\Dst"));
  DWORD number = 0, count = 0;
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
  // A root cannot be deleted: the call fails and removes nothing under it.
  EXPECT_FALSE(editor.DeleteKeyTree(2, u""));
  EXPECT_TRUE(editor.KeyExists(2, u"SOFTWARE\\Dst\\A\\Deep"));
}
