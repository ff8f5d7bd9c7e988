#include "runtime/TApplicationSettings.h"

#include <fcntl.h>
#include <poll.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/TRegEditor.h"
#include "runtime/TSharedMemory.h"
#include "tests/TestSupport.h"

namespace {

using testing_support::ScopedRegistry;
using testing_support::U16;
using DWORD = platform::DWORD;

constexpr char16_t kKey[] = u"SOFTWARE\\Tolvane";
constexpr char16_t kCatch[] = u"EnableCatch";

// Every test publishes under a block name of its own process, removed with whatever is left.
class SettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    m_name = "TolvaneSettingsTest." + std::to_string(getpid());
    setenv("TOLVANE_SETTINGS_SHM", m_name.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TOLVANE_SETTINGS_SHM");
    UnlinkRegion();
    sem_unlink(("/" + m_name + "_Mutex").c_str());
  }
  void UnlinkRegion() { shm_unlink(("/" + m_name).c_str()); }
  TStringEx Name() const { return TStringEx(U16(m_name).c_str()); }
  bool RegionExists() const { return access(("/dev/shm/" + m_name).c_str(), F_OK) == 0; }
  // A live region holding exactly these bytes, in a region of at least `size` bytes.
  int RawRegion(const std::string& bytes, off_t size = 0) {
    int fd = shm_open(("/" + m_name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_SH), 0);
    EXPECT_EQ(ftruncate(fd, std::max<off_t>(size, static_cast<off_t>(bytes.size()))), 0);
    EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    return fd;
  }
  void SetCatch(DWORD value) { ASSERT_TRUE(TRegEditor().WriteDword(3, kKey, kCatch, value)); }

  ScopedRegistry m_registry;
  std::string m_name;
};

std::string Le(const std::u16string& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}
const std::u16string kNul(1, u'\0');
const std::u16string kCatchOn = u"<Settings><EnableCatch>true</EnableCatch></Settings>";

// A live block alone decides EnableCatch (off when it lacks the value or holds no boolean) and
// leaves the registry alone; without one the registry does, where a missing value is created as 0.
TEST_F(SettingsTest, EnableCatchComesFromTheBlockElseFromTheRegistry) {
  struct Case {
    std::vector<TApplicationSettings::Setting> block;  // empty: none published
    int registry;                                      // -1: no value stored
    bool expected;
  };
  const Case cases[] = {{{}, -1, false}, {{}, 1, true}, {{{u"EnableCatch", u"TRUE"}}, -1, true},
                        {{{u"EnableCatch", u"fAlSe"}}, 1, false}, {{{u"EnableCatch", u"yes"}}, 1, false},
                        {{{u"Other", u"true"}, {u"EnableCatchX", u"true"}}, -1, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.block.size() << " settings, registry " << c.registry);
    TRegEditor().DeleteKeyTree(3, kKey);
    if (c.registry >= 0) SetCatch(static_cast<DWORD>(c.registry));
    TApplicationSettings publisher;
    ASSERT_TRUE(c.block.empty() || publisher.Publish(c.block));
    EXPECT_EQ(TApplicationSettings::ReadEnableCatch(), c.expected);
    DWORD value = 7;
    EXPECT_EQ(TRegEditor().ReadDword(3, kKey, kCatch, value), c.registry >= 0 || c.block.empty());
    EXPECT_TRUE(c.registry >= 0 || !c.block.empty() || value == 0u) << value;  // created as 0
    publisher.Unpublish();
    EXPECT_FALSE(RegionExists());
  }
}

// Whether a live region holding these bytes is used as the block; registry says EnableCatch is on.
TEST_F(SettingsTest, TextEndsAtNulOrRegionEndAndBadBlocksFallBackToRegistry) {
  const std::u16string pad = u"<Pad>" + std::u16string(1 << 20, u'x') + u"</Pad>";
  const std::pair<std::string, bool> regions[] = {
      {Le(kCatchOn), true},                                    // as publishers write it: no NUL
      {Le(kCatchOn) + "z", true},                              // an odd last byte is no character
      {Le(kCatchOn) + Le(kNul + u"<garbage"), true},           // anything after the NUL is not text
      {Le(u"\xFEFF") + Le(kCatchOn), true},                    // byte order mark
      {"", false},                                             // live region of size zero
      {Le(u"<Settings><EnableCatch>true</EnableCatch>"), false},  // not closed
      {Le(u"<Settings><EnableCatch>true</Enable"), false},     // unterminated, cut in the middle
      {Le(u"EnableCatch=true"), false},                        // not XML
      {Le(u"<!-- only a comment -->"), false},                 // no root element
      {std::string(8, '\0'), false},                           // empty text
      {Le(kNul) + Le(kCatchOn), false},                        // empty text before the block
      {"\x01", false},                                         // half a character
      {Le(u"<Settings><EnableCatch>true</EnableCatch>" + pad + u"</Settings>"), false},  // longer than any block
  };
  SetCatch(1);
  for (const auto& [bytes, used] : regions) {
    int fd = RawRegion(bytes);
    EXPECT_EQ(TApplicationSettings().UsesSharedData(), used) << testing::PrintToString(bytes.substr(0, 100));
    EXPECT_TRUE(TApplicationSettings::ReadEnableCatch());
    close(fd);
    UnlinkRegion();
  }
  SetCatch(0);
  int fd = RawRegion(Le(kCatchOn), off_t{1} << 32);  // huge but sparse: only the first page is ever read
  EXPECT_TRUE(TApplicationSettings::ReadEnableCatch());
  close(fd);
}


TEST_F(SettingsTest, BlockOfADeadPublisherIsIgnoredAndReplaced) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TApplicationSettings publisher;
    if (!publisher.Publish({{u"EnableCatch", u"true"}}) || write(ready[1], "1", 1) != 1) _exit(1);
    for (;;) pause();  // killed without cleaning up
  }
  close(ready[1]);
  pollfd p{ready[0], POLLIN, 0};
  char ok = 0;
  bool reported = poll(&p, 1, 20000) == 1 && read(ready[0], &ok, 1) == 1;
  close(ready[0]);
  bool liveBlockUsed = TApplicationSettings::ReadEnableCatch();
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(reported && ok == '1');
  EXPECT_TRUE(liveBlockUsed);

  ASSERT_TRUE(RegionExists());  // left behind, but nobody holds it any more
  SetCatch(0);
  EXPECT_FALSE(TApplicationSettings::ReadEnableCatch());
  TApplicationSettings publisher;
  ASSERT_TRUE(publisher.Publish({{u"EnableCatch", u"true"}}));
  EXPECT_TRUE(TApplicationSettings::ReadEnableCatch());
}

TEST_F(SettingsTest, PublishRefusesNamesThatAreNotXmlNamesAndValuesReadBack) {
  TApplicationSettings publisher;
  for (const char16_t* name : {u"", u"1st", u"two words", u"a<b", u"-x"})
    EXPECT_FALSE(publisher.Publish({{u"Good", u"1"}, {name, u"1"}})) << TStringEx(name).ToNarrow();
  EXPECT_FALSE(RegionExists());
  ASSERT_TRUE(publisher.Publish({{u"N", u"42"}, {u"Neg", u"-1"}, {u"Lead", u" 17abc"}, {u"Word", u"abc"},
                                 {u"Big", u"99999999999"}, {u"Empty", u""}, {u"_a-b.c:d", u"1"},
                                 {u"Größe", u"a <&> \"b\" \u00e9\u4e2d"}, {u"Blank", u" \n"}, {u"Lines", u"a\r\nb\rc"}}));
  TApplicationSettings settings;
  const std::pair<const char16_t*, DWORD> numbers[] = {
      {u"N", 42}, {u"Neg", 0xFFFFFFFFu}, {u"Lead", 17}, {u"Word", 0}, {u"Big", 0x7FFFFFFFu}, {u"_a-b.c:d", 1}};
  for (auto [name, expected] : numbers) {
    DWORD n = 5;
    EXPECT_TRUE(settings.ReadDword(u"any\\key", name, n) && n == expected) << TStringEx(name).ToNarrow() << " " << n;
  }
  DWORD n = 5;
  EXPECT_FALSE(settings.ReadDword(kKey, u"Empty", n));
  EXPECT_FALSE(settings.ReadDword(kKey, u"Missing", n));
  EXPECT_EQ(n, 5u);
  TStringEx text;
  EXPECT_TRUE(settings.ReadString(kKey, u"Empty", text) && text.IsEmpty());
  EXPECT_TRUE(settings.ReadString(kKey, u"Größe", text) && text == u"a <&> \"b\" \u00e9\u4e2d");
  // White space and line ends are text too: they read back as published.
  EXPECT_TRUE(settings.ReadString(kKey, u"Blank", text) && text == u" \n");
  EXPECT_TRUE(settings.ReadString(kKey, u"Lines", text) && text == u"a\r\nb\rc");
  bool flag = true;
  EXPECT_FALSE(settings.ReadBool(kKey, u"N", flag));
}

TEST_F(SettingsTest, WritesGoToRegistryAndAreRefusedWhileBlockIsInUseAndOnePublishes) {
  TApplicationSettings registry;
  EXPECT_TRUE(registry.WriteBool(kKey, u"B", true));
  bool b = false;
  EXPECT_TRUE(registry.ReadBool(kKey, u"b", b) && b);

  TApplicationSettings publisher, second;  // one publisher at a time
  ASSERT_TRUE(publisher.Publish({{u"B", u"false"}}));
  EXPECT_FALSE(publisher.Publish({{u"B", u"true"}}) || second.Publish({{u"B", u"true"}}));
  EXPECT_TRUE(registry.WriteDword(kKey, u"D", 10));  // the store was chosen before the block came
  TApplicationSettings shared;
  EXPECT_FALSE(shared.WriteBool(kKey, u"B", false));
  EXPECT_FALSE(shared.WriteString(kKey, u"S", u"other"));
  publisher.Unpublish();
  EXPECT_TRUE(shared.ReadBool(kKey, u"B", b) && !b);  // keeps the block it read
  EXPECT_TRUE(second.Publish({{u"B", u"true"}}));
}

TEST_F(SettingsTest, SharedMemoryMutexIsExclusiveAndTimesOut) {
  TSharedMemory a(Name()), b(Name());
  ASSERT_TRUE(a.Lock(0));
  EXPECT_FALSE(a.Lock(0));  // not recursive
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(b.Lock(50));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_FALSE(b.Unlock());
  EXPECT_TRUE(a.Unlock());
  EXPECT_TRUE(b.Lock(0xFFFFFFFF));
}  // b releases the mutex as it goes

}  // namespace
