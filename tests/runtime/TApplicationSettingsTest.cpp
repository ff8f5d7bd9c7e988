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
    shm_unlink(("/" + m_name).c_str());
    sem_unlink(("/" + m_name + "_Mutex").c_str());
  }
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
  bool RegistryTouched() { return TRegEditor().KeyExists(3, kKey); }

  ScopedRegistry m_registry;
  std::string m_name;
};

std::string Le(const std::u16string& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}
const std::u16string kNul(1, u'\0');
const std::u16string kCatchOn = u"<Settings><EnableCatch>true</EnableCatch></Settings>";

TEST_F(SettingsTest, WithoutBlockEnableCatchComesFromRegistryAndIsCreatedAsZero) {
  EXPECT_FALSE(TApplicationSettings::ReadEnableCatch());
  DWORD value = 7;
  ASSERT_TRUE(TRegEditor().ReadDword(3, kKey, kCatch, value));
  EXPECT_EQ(value, 0u);
  SetCatch(1);
  EXPECT_TRUE(TApplicationSettings::ReadEnableCatch());
  SetCatch(0);
  EXPECT_FALSE(TApplicationSettings::ReadEnableCatch());
}

TEST_F(SettingsTest, BlockDecidesEnableCatchAndRegistryIsLeftAlone) {
  TApplicationSettings publisher;
  ASSERT_TRUE(publisher.Publish({{u"EnableCatch", u"TRUE"}}));
  EXPECT_TRUE(TApplicationSettings::ReadEnableCatch());
  EXPECT_FALSE(RegistryTouched());
  publisher.Unpublish();
  EXPECT_FALSE(RegionExists());

  SetCatch(1);
  ASSERT_TRUE(publisher.Publish({{u"EnableCatch", u"fAlSe"}}));
  EXPECT_FALSE(TApplicationSettings::ReadEnableCatch());
  publisher.Unpublish();
  EXPECT_TRUE(TApplicationSettings::ReadEnableCatch());
}

TEST_F(SettingsTest, BlockWithoutEnableCatchTurnsItOffAndWritesNothing) {
  TApplicationSettings publisher;
  ASSERT_TRUE(publisher.Publish({{u"Other", u"true"}, {u"EnableCatchX", u"true"}}));
  EXPECT_FALSE(TApplicationSettings::ReadEnableCatch());
  EXPECT_FALSE(RegistryTouched());
  publisher.Unpublish();
  ASSERT_TRUE(publisher.Publish({{u"EnableCatch", u"yes"}}));  // not a boolean
  SetCatch(1);
  EXPECT_FALSE(TApplicationSettings::ReadEnableCatch());
}

TEST_F(SettingsTest, BadBlocksFallBackToRegistry) {
  const std::string bad[] = {
      Le(u"<Settings><EnableCatch>true</EnableCatch>"),      // not closed
      Le(u"<Settings><EnableCatch>true</Enable"),             // unterminated, cut in the middle
      Le(u"EnableCatch=true"),                                // not XML
      Le(u"<!-- only a comment -->"),                         // no root element
      std::string(8, '\0'),                                   // empty text
      Le(kNul) + Le(kCatchOn),                                // empty text before the block
      Le(u"<Settings><EnableCatch>true</EnableCatch></Settings") + "x",  // odd size, still cut
      "\x01",                                                 // half a character
  };
  SetCatch(1);
  for (const std::string& bytes : bad) {
    int fd = RawRegion(bytes);
    TApplicationSettings settings;
    bool value = false;
    EXPECT_FALSE(settings.UsesSharedData()) << testing::PrintToString(bytes);
    EXPECT_TRUE(settings.ReadBool(kKey, kCatch, value) && value);
    EXPECT_TRUE(TApplicationSettings::ReadEnableCatch());
    close(fd);
    shm_unlink(("/" + m_name).c_str());
  }
}

TEST_F(SettingsTest, LiveRegionOfSizeZeroFallsBackToRegistry) {
  int fd = RawRegion("");
  SetCatch(1);
  EXPECT_TRUE(TApplicationSettings::ReadEnableCatch());
  close(fd);
}

TEST_F(SettingsTest, TextEndsAtNulOrAtRegionEnd) {
  const std::string good[] = {
      Le(kCatchOn),                            // as publishers write it: no NUL
      Le(kCatchOn) + "z",                      // an odd last byte is no character
      Le(kCatchOn) + Le(kNul + u"<garbage"),   // anything after the NUL is not text
      Le(u"\xFEFF") + Le(kCatchOn),            // byte order mark
  };
  for (const std::string& bytes : good) {
    int fd = RawRegion(bytes);
    EXPECT_TRUE(TApplicationSettings::ReadEnableCatch()) << testing::PrintToString(bytes);
    close(fd);
    shm_unlink(("/" + m_name).c_str());
  }
  EXPECT_FALSE(RegistryTouched());
}

TEST_F(SettingsTest, HugeRegionsAreReadOnlyUpToTheirText) {
  int fd = RawRegion(Le(kCatchOn), off_t{1} << 32);  // sparse: only the first page is ever read
  EXPECT_TRUE(TApplicationSettings::ReadEnableCatch());
  close(fd);
  shm_unlink(("/" + m_name).c_str());
  // Text longer than any settings block is not copied or parsed.
  std::u16string longText = u"<Settings><EnableCatch>true</EnableCatch><Pad>" + std::u16string(1 << 20, u'x') +
                            u"</Pad></Settings>";
  fd = RawRegion(Le(longText));
  SetCatch(0);
  EXPECT_FALSE(TApplicationSettings::ReadEnableCatch());
  close(fd);
}

TEST_F(SettingsTest, BlockOfADeadPublisherIsIgnoredAndReplaced) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TApplicationSettings publisher;
    char ok = publisher.Publish({{u"EnableCatch", u"true"}}) ? '1' : '0';
    if (write(ready[1], &ok, 1) != 1) _exit(1);
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
  TApplicationSettings reader;
  EXPECT_FALSE(reader.UsesSharedData());
  EXPECT_FALSE(TApplicationSettings::ReadEnableCatch());
  TApplicationSettings publisher;
  ASSERT_TRUE(publisher.Publish({{u"EnableCatch", u"true"}}));
  EXPECT_TRUE(TApplicationSettings::ReadEnableCatch());
}

TEST_F(SettingsTest, OnlyOnePublisherAtATime) {
  TApplicationSettings first, second;
  ASSERT_TRUE(first.Publish({{u"A", u"1"}}));
  EXPECT_FALSE(first.Publish({{u"A", u"2"}}));
  EXPECT_FALSE(second.Publish({{u"A", u"3"}}));
  EXPECT_FALSE(second.IsPublishing());
  DWORD value = 0;
  EXPECT_TRUE(TApplicationSettings().ReadDword(u"", u"A", value));
  EXPECT_EQ(value, 1u);
  first.Unpublish();
  EXPECT_TRUE(second.Publish({{u"A", u"3"}}));
}

TEST_F(SettingsTest, PublishRefusesNamesThatAreNotXmlNames) {
  TApplicationSettings publisher;
  for (const char16_t* name : {u"", u"1st", u"two words", u"a<b", u"-x"})
    EXPECT_FALSE(publisher.Publish({{u"Good", u"1"}, {name, u"1"}})) << TStringEx(name).ToNarrow();
  EXPECT_FALSE(RegionExists());
  EXPECT_TRUE(publisher.Publish({{u"_a-b.c:d", u"1"}, {u"Größe", u"ß"}}));
  TStringEx text;
  EXPECT_TRUE(TApplicationSettings().ReadString(u"", u"Größe", text));
  EXPECT_EQ(text, u"ß");
}

TEST_F(SettingsTest, ValuesFromTheBlock) {
  TApplicationSettings publisher;
  ASSERT_TRUE(publisher.Publish({{u"N", u"42"}, {u"Neg", u"-1"}, {u"Lead", u" 17abc"}, {u"Word", u"abc"},
                                 {u"Big", u"99999999999"}, {u"Empty", u""}, {u"Text", u"a <&> \"b\" \u00e9\u4e2d"}}));
  TApplicationSettings settings;
  DWORD n = 5;
  EXPECT_TRUE(settings.ReadDword(u"any\\key", u"N", n) && n == 42);
  EXPECT_TRUE(settings.ReadDword(kKey, u"Neg", n) && n == 0xFFFFFFFFu);
  EXPECT_TRUE(settings.ReadDword(kKey, u"Lead", n) && n == 17);
  EXPECT_TRUE(settings.ReadDword(kKey, u"Word", n) && n == 0);
  EXPECT_TRUE(settings.ReadDword(kKey, u"Big", n) && n == 0x7FFFFFFFu);
  n = 5;
  EXPECT_FALSE(settings.ReadDword(kKey, u"Empty", n));
  EXPECT_FALSE(settings.ReadDword(kKey, u"Missing", n));
  EXPECT_EQ(n, 5u);
  TStringEx text(u"unchanged");
  EXPECT_FALSE(settings.ReadString(kKey, u"Missing", text));
  EXPECT_EQ(text, u"unchanged");
  EXPECT_TRUE(settings.ReadString(TStringEx(kKey), TStringEx(u"Empty"), text));
  EXPECT_TRUE(text.IsEmpty());
  EXPECT_TRUE(settings.ReadString(kKey, u"Text", text));
  EXPECT_EQ(text, u"a <&> \"b\" \u00e9\u4e2d");
  bool flag = true;
  EXPECT_FALSE(settings.ReadBool(kKey, u"N", flag));
  EXPECT_TRUE(flag);
}

TEST_F(SettingsTest, WritesGoToRegistryAndAreRefusedWhileBlockIsInUse) {
  TApplicationSettings registry;
  EXPECT_TRUE(registry.WriteBool(kKey, u"B", true));
  EXPECT_TRUE(registry.WriteDword(TStringEx(kKey), TStringEx(u"D"), 9));
  EXPECT_TRUE(registry.WriteString(kKey, u"S", u"text"));
  bool b = false;
  DWORD d = 0;
  TStringEx s;
  EXPECT_TRUE(registry.ReadBool(kKey, u"b", b) && b);
  EXPECT_TRUE(registry.ReadDword(kKey, u"D", d) && d == 9);
  EXPECT_TRUE(registry.ReadString(kKey, u"S", s) && s == u"text");

  TApplicationSettings publisher;
  ASSERT_TRUE(publisher.Publish({{u"B", u"false"}}));
  EXPECT_TRUE(registry.WriteDword(kKey, u"D", 10));  // the store was chosen before the block came
  TApplicationSettings shared;
  EXPECT_FALSE(shared.WriteBool(kKey, u"B", false));
  EXPECT_FALSE(shared.WriteDword(kKey, u"D", 11));
  EXPECT_FALSE(shared.WriteString(kKey, u"S", u"other"));
  EXPECT_TRUE(shared.ReadBool(kKey, u"B", b) && !b);
  EXPECT_TRUE(TRegEditor().ReadDword(3, kKey, u"D", d) && d == 10);
  publisher.Unpublish();
  EXPECT_TRUE(shared.ReadBool(kKey, u"B", b) && !b);  // keeps the block it read
}

TEST_F(SettingsTest, SharedMemoryMutexIsExclusiveAndTimesOut) {
  TSharedMemory a(Name()), b(Name());
  EXPECT_FALSE(a.Unlock());
  ASSERT_TRUE(a.Lock(0));
  EXPECT_FALSE(a.Lock(0));  // not recursive
  EXPECT_FALSE(b.Lock(0));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(b.Lock(50));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_FALSE(b.Unlock());
  EXPECT_TRUE(a.Unlock());
  EXPECT_TRUE(b.Lock(0xFFFFFFFF));
  EXPECT_TRUE(b.Create(3));
  EXPECT_EQ(b.GetViewSize(), 3u);
  EXPECT_FALSE(a.Create(3));
  EXPECT_TRUE(a.Open());
  EXPECT_EQ(a.GetViewSize(), 3u);
  b.Close();  // the region goes; a's view stays valid
  static_cast<char*>(a.GetView())[2] = 1;
  EXPECT_FALSE(TSharedMemory(Name()).Open());
}  // b releases the mutex as it goes

}  // namespace
