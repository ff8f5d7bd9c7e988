// sysinfo: the figures as the report writes them, versions from file names, and the report over
// loopback.
#include "modules/bridge/SysInfoFigures.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>

#include "platform/FileInfo.h"
#include "platform/Process.h"
#include "platform/TextConvert.h"
#include "tests/console/ConsoleFixture.h"

namespace {

using testing_support::ConsoleFixture;
using testing_support::TcpTestClient;

std::string Narrow(const TStringEx& text) { return std::string(text.c_str(), text.c_str() + text.Length()); }

std::string VersionText(const platform::FileVersion& v) {
  char text[32];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", v.parts[0], v.parts[1], v.parts[2], v.parts[3]);
  return text;
}

TEST(SysInfoFigures, KilobytesAndUpTime) {
  const struct {
    std::uint64_t bytes;
    const char* text;
  } sizes[] = {{0, "0,000 KB"},
               {999 * 1024 + 1023, "0,999 KB"},
               {1000 * 1024, "1,000 KB"},
               {12345678ull * 1024, "12345,678 KB"}};
  for (const auto& c : sizes) EXPECT_EQ(Narrow(KilobytesText(c.bytes)), c.text) << c.bytes;
  UpTimeParts up = SplitUpTime(86400 + 3600 + 60 + 1);
  EXPECT_EQ(std::vector<std::uint64_t>({up.days, up.hours, up.minutes, up.seconds}),
            std::vector<std::uint64_t>({1, 1, 1, 1}));
  up = SplitUpTime(86399);
  EXPECT_EQ(std::vector<std::uint64_t>({up.days, up.hours, up.minutes, up.seconds}),
            std::vector<std::uint64_t>({0, 23, 59, 59}));
}

TEST(SysInfoFigures, VersionFromFileNameAndLinkTarget) {
  const struct {
    const char* name;
    const char* version;
  } names[] = {{"libx.so.1.2.3", "1.2.3.0"},   {"libx.so.1", "1.0.0.0"},         {"LIBX.SO.7.65535.0.4", "7.65535.0.4"},
               {"libx.so", "0.0.0.0"},         {"tests", "0.0.0.0"},             {"libx.so.1.2.3.4.5", "0.0.0.0"},
               {"libx.so.65536", "0.0.0.0"},   {"libx.so.1.x", "0.0.0.0"},       {"libx.so.1.", "0.0.0.0"}};
  for (const auto& c : names)
    EXPECT_EQ(VersionText(platform::VersionFromFileName(testing_support::U16(c.name))), c.version) << c.name;

  // A soname link reads as the file it leads to.
  auto folder = std::filesystem::temp_directory_path() / ("sysinfo_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  std::fclose(std::fopen((folder / "libt.so.3.4.5").c_str(), "w"));
  std::filesystem::create_symlink("libt.so.3.4.5", folder / "libt.so.3");
  EXPECT_EQ(VersionText(platform::ReadFileVersion(testing_support::U16((folder / "libt.so.3").string()))), "3.4.5.0");
  EXPECT_EQ(VersionText(platform::ReadFileVersion(testing_support::U16((folder / "libt.so.9").string()))), "0.0.0.0");
  std::filesystem::remove_all(folder);
}

std::string Executable() {
  std::u16string path = platform::ExecutablePath();
  return platform::Utf16ToUtf8(path.data(), path.size());
}

// Types the line and gives the lines of the reply up to the greeting sent after it.
std::vector<std::string> Report(TcpTestClient& client, const std::string& line) {
  std::size_t mark = client.Mark();
  const std::string greeting = "Greetings!\n\r\r\n";
  std::vector<std::string> lines;
  if (!ConsoleFixture::Type(client, line, greeting)) return lines;
  std::string text = client.Received().substr(mark);
  std::size_t start = text.find("Process File Name");
  std::size_t end = text.find(greeting, start);
  if (start == std::string::npos) return lines;
  for (std::size_t at = start; at < end;) {
    std::size_t next = text.find("\r\n", at);
    lines.push_back(text.substr(at, next - at));
    at = next + 2;
  }
  return lines;
}

TEST(SysInfoCommand, ProcessSectionAndGreetingToEveryone) {
  ConsoleFixture fixture;
  auto client = fixture.Connect();
  auto other = fixture.Connect();
  ASSERT_TRUE(client && other);
  const std::string date = R"(\d{4}-\d\d-\d\d at \d\d:\d\d:\d\d)";
  const std::string size = R"(\d+,\d{3} KB)";
  const std::string patterns[] = {
      "Process File Name   : .*",
      "Product Version     : 0\\.0\\.0\\.0, created on (" + date + ")?",
      "Process Start Time  : " + date,
      R"(Process Up Time     : 0 days, 0 hours, \d minutes, \d+ seconds)",
      "Process ID          : " + std::to_string(getpid()),
      "Current Working Set : " + size,
      "Current VM Size     : " + size,
      "Peak Working Set    : " + size,
      "Peak VM Size        : " + size,
  };
  for (const char* line : {"sysinfo", "sysinfo all", "sysinfo + +"}) {
    std::size_t otherMark = other->Mark();
    std::vector<std::string> lines = Report(*client, line);
    ASSERT_EQ(lines.size(), 9u) << line;
    for (std::size_t i = 0; i < lines.size(); ++i)
      EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i]))) << line << ": " << lines[i];
    EXPECT_EQ(lines[0], "Process File Name   : " + Executable());
    EXPECT_NE(lines[5], "Current Working Set : 0,000 KB");
    EXPECT_TRUE(other->WaitForText("Greetings!\n\r\r\n", otherMark)) << line;
  }
  // The greeting is sent as text: a "%" in it is no conversion.
  fixture.Console().SetGreeting(u"At 100%s %d\n\r");
  std::size_t mark = other->Mark();
  ASSERT_TRUE(ConsoleFixture::Type(*client, "sysinfo", "At 100%s %d\n\r\r\n"));
  EXPECT_TRUE(other->WaitForText("At 100%s %d\n\r\r\n", mark));
}

TEST(SysInfoCommand, DllSectionListsTheConsoleLibraryAndNotTheExecutable) {
  ConsoleFixture fixture;
  auto client = fixture.Connect();
  ASSERT_TRUE(client);
  std::vector<std::string> lines = Report(*client, "sysinfo +");
  ASSERT_GE(lines.size(), 14u);
  const std::vector<std::string> header = {"", "DLL Information", "===================", ""};
  ASSERT_EQ(std::vector<std::string>(lines.begin() + 9, lines.begin() + 13), header);
  ASSERT_EQ((lines.size() - 13) % 4, 0u);
  int consoles = 0;
  for (std::size_t i = 13; i < lines.size(); i += 4) {
    std::string name = lines[i].substr(std::min<std::size_t>(12, lines[i].size()));
    EXPECT_TRUE(std::regex_match(lines[i], std::regex(R"(DLL Name  : [^/]*\.so.*)"))) << lines[i];
    EXPECT_EQ(lines[i + 1].rfind("File Name : /", 0), 0u) << lines[i + 1];
    EXPECT_NE(lines[i + 1], "File Name : " + Executable());
    EXPECT_TRUE(std::regex_match(lines[i + 2], std::regex(R"(Version   : \d+\.\d+\.\d+\.\d+, created on .*)")))
        << lines[i + 2];
    EXPECT_EQ(lines[i + 3], std::string(62, '-'));
    if (name.rfind("libdiagconsole.so", 0) != 0) continue;
    ++consoles;
    // Its file carries the project's version: never 0.0.0.0.
    EXPECT_TRUE(std::regex_search(lines[i + 2], std::regex(R"(^Version   : \d+\.\d+\.\d+\.0, )"))) << lines[i + 2];
    EXPECT_EQ(lines[i + 2].find("Version   : 0.0.0.0"), std::string::npos) << lines[i + 2];
  }
  EXPECT_EQ(consoles, 1);
}

}  // namespace
