// sysinfo: the figures as the report writes them, versions from file names, the process's shared
// objects as the module bridge sees them, and the report over loopback.
#include "modules/bridge/SysInfoFigures.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/FileInfo.h"
#include "platform/LoadedModules.h"
#include "platform/LocalTime.h"
#include "platform/Process.h"
#include "platform/TextConvert.h"
#include "tests/console/ConsoleFixture.h"

namespace {

using testing_support::ConsoleFixture;
using testing_support::FitsPattern;

TEST(SysInfoFigures, KilobytesUpTimeAndVersionsFromFileNames) {
  const std::pair<std::uint64_t, const char*> sizes[] = {
      {0, "0,000 KB"}, {999 * 1024 + 1023, "0,999 KB"}, {1000 * 1024, "1,000 KB"}, {12345678ull << 10, "12345,678 KB"}};
  for (const auto& [bytes, text] : sizes)
    EXPECT_TRUE(KilobytesText(bytes) == testing_support::U16(text).c_str()) << text;
  // Across a day boundary; a start after now (the clock set back) is no up time, not 584 billion years.
  const platform::LocalDateTime start{2024, 2, 28, 23, 30, 0, 900}, now{2024, 3, 1, 0, 31, 1, 950};
  UpTimeParts up = SplitUpTime(platform::SecondsBetween(start, now));
  EXPECT_EQ(std::vector<std::uint64_t>({up.days, up.hours, up.minutes, up.seconds}), std::vector<std::uint64_t>(4, 1));
  EXPECT_EQ(platform::SecondsBetween(now, start), 0u);

  const std::pair<const char*, std::vector<int>> names[] = {
      {"libx.so.1.2.3", {1, 2, 3, 0}}, {"libx.so.1", {1, 0, 0, 0}},   {"LIBX.SO.7.65535.0.4", {7, 65535, 0, 4}},
      {"libx.so", {0, 0, 0, 0}},       {"app", {0, 0, 0, 0}},         {"libx.so.1.2.3.4.5", {0, 0, 0, 0}},
      {"libx.so.65536", {0, 0, 0, 0}}, {"libx.so.1.x", {0, 0, 0, 0}}, {"libx.so.1.", {0, 0, 0, 0}}};
  for (const auto& [name, expected] : names) {
    platform::FileVersion version = platform::VersionFromFileName(testing_support::U16(name));
    EXPECT_EQ(std::vector<int>(version.parts, version.parts + 4), expected) << name;
  }
}

TEST(LoadedModules, SharedObjectNames) {
  for (const char16_t* name : {u"libx.so", u"libx.so.1.2", u"LIBX.SO", u"x.So.3", u"x.so.txt"})
    EXPECT_TRUE(platform::IsSharedObjectName(name)) << std::u16string(name).size();
  for (const char16_t* name : {u"libx.sox", u"libx.s", u"libso", u""})
    EXPECT_FALSE(platform::IsSharedObjectName(name)) << std::u16string(name).size();
}

TEST(LoadedModules, TheExecutableIsNoModuleAndDependenciesExportNothingForIt) {
  void* full = dlopen(BRIDGE_MODULE_FULL, RTLD_NOW);
  ASSERT_NE(full, nullptr) << dlerror();
  std::vector<std::unique_ptr<platform::LoadedModule>> modules;
  ASSERT_TRUE(platform::ListLoadedModules(modules));
  const platform::LoadedModule* module = nullptr;
  for (const auto& each : modules) {
    EXPECT_NE(each->Path(), platform::ExecutablePath());
    if (each->BaseName() == u"libbridge_module_full.so") module = each.get();
  }
  ASSERT_NE(module, nullptr);
  void* parse = dlsym(full, "Module_ParseDebugArgEx");
  EXPECT_EQ(module->FindExport("Module_ParseDebugArgEx"), parse);
  // dlsym finds malloc through the module's dependencies: not an export of the module.
  EXPECT_NE(dlsym(full, "malloc"), nullptr);
  EXPECT_EQ(module->FindExport("malloc"), nullptr);
  auto containing = platform::ModuleContaining(parse);
  ASSERT_NE(containing, nullptr);
  EXPECT_EQ(containing->Path(), module->Path());
  dlclose(full);
}

// Also: the generation changes with the load and the unload, not with the list's own references.
TEST(LoadedModules, AnObjectOpenedByARelativePathIsListedAndTheVdsoNever) {
  std::filesystem::path module(BRIDGE_MODULE_PLAIN);
  ASSERT_EQ(dlopen(BRIDGE_MODULE_PLAIN, RTLD_LAZY | RTLD_NOLOAD), nullptr) << "loaded already";
  const std::uint64_t unloaded = platform::LoadedModulesGeneration();
  std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(module.parent_path());
  void* plain = dlopen(("./" + module.filename().string()).c_str(), RTLD_NOW);
  std::filesystem::current_path(before);
  ASSERT_NE(plain, nullptr) << dlerror();
  const std::uint64_t loaded = platform::LoadedModulesGeneration();
  EXPECT_NE(loaded, unloaded);
  std::vector<std::unique_ptr<platform::LoadedModule>> modules;
  ASSERT_TRUE(platform::ListLoadedModules(modules));
  modules.clear();
  ASSERT_TRUE(platform::ListLoadedModules(modules));
  EXPECT_EQ(platform::LoadedModulesGeneration(), loaded);
  bool listed = false;
  for (const auto& each : modules) {
    listed = listed || each->BaseName() == module.filename().u16string();
    EXPECT_EQ(each->BaseName().find(u"vdso"), std::u16string::npos);
  }
  EXPECT_TRUE(listed);
  modules.clear();
  dlclose(plain);
  EXPECT_NE(platform::LoadedModulesGeneration(), loaded);
}

// A creation date, or none.
bool FitsDated(const std::string& text, const std::string& pattern) {
  return FitsPattern(text, pattern) || FitsPattern(text, pattern + "####-##-## at ##:##:##");
}

std::string Executable() {
  std::u16string path = platform::ExecutablePath();
  return platform::Utf16ToUtf8(path.data(), path.size());
}

// Types the line and gives the lines of the reply, up to the greeting sent after it.
std::vector<std::string> Report(testing_support::TcpTestClient& client, const std::string& line) {
  std::size_t mark = client.Mark();
  std::vector<std::string> lines;
  if (!ConsoleFixture::Type(client, line, "Greetings!\n\r\r\n")) return lines;
  std::string text = client.Received().substr(mark);
  std::size_t end = text.find("Greetings!\n\r\r\n");
  for (std::size_t at = text.find("Process File Name"); at < end; at = text.find("\r\n", at) + 2)
    lines.push_back(text.substr(at, text.find("\r\n", at) - at));
  return lines;
}

TEST(SysInfoCommand, ProcessSectionOnlyUnlessOnePlusAndTheGreetingToEveryone) {
  ConsoleFixture fixture;
  auto client = fixture.Connect();
  auto other = fixture.Connect();
  ASSERT_TRUE(client && other);
  const std::string patterns[] = {
      "Process Start Time  : ####-##-## at ##:##:##",
      "Process Up Time     : 0 days, 0 hours, # minutes, + seconds",
      "Process ID          : " + std::to_string(getpid()),
      "Current Working Set : +,### KB",
      "Current VM Size     : +,### KB",
      "Peak Working Set    : +,### KB",
      "Peak VM Size        : +,### KB",
  };
  for (const char* line : {"sysinfo", "sysinfo all", "sysinfo + +"}) {
    std::size_t otherMark = other->Mark();
    std::vector<std::string> lines = Report(*client, line);
    ASSERT_EQ(lines.size(), 9u) << line;
    EXPECT_EQ(lines[0], "Process File Name   : " + Executable());
    EXPECT_TRUE(FitsDated(lines[1], "Product Version     : 0.0.0.0, created on ")) << lines[1];
    for (std::size_t i = 2; i < lines.size(); ++i)
      EXPECT_TRUE(FitsPattern(lines[i], patterns[i - 2])) << line << ": " << lines[i];
    EXPECT_NE(lines[5], "Current Working Set : 0,000 KB");
    EXPECT_TRUE(other->WaitForText("Greetings!\n\r\r\n", otherMark)) << line;
  }
}

TEST(SysInfoCommand, DllSectionListsTheConsoleLibraryWithItsVersionAndNotTheExecutable) {
  ConsoleFixture fixture;
  auto client = fixture.Connect();
  ASSERT_TRUE(client);
  std::vector<std::string> lines = Report(*client, "sysinfo +");
  ASSERT_GE(lines.size(), 17u);
  ASSERT_EQ(std::vector<std::string>(lines.begin() + 9, lines.begin() + 13),
            std::vector<std::string>({"", "DLL Information", "===================", ""}));
  ASSERT_EQ((lines.size() - 13) % 4, 0u);
  int consoles = 0;
  for (std::size_t i = 13; i < lines.size(); i += 4) {
    EXPECT_TRUE(lines[i].rfind("DLL Name  : ", 0) == 0 && lines[i].find('/') == std::string::npos &&
                lines[i].find(".so") != std::string::npos)
        << lines[i];
    EXPECT_NE(lines[i + 1], "File Name : " + Executable());
    EXPECT_TRUE(FitsDated(lines[i + 2], "Version   : +.+.+.+, created on ")) << lines[i + 2];
    EXPECT_EQ(lines[i + 3], std::string(62, '-'));
    if (lines[i].rfind("DLL Name  : libdiagconsole.so", 0) != 0) continue;
    ++consoles;
    // Listed under its soname link, read as the versioned file behind it.
    EXPECT_EQ(lines[i + 2].find("Version   : 0.0.0.0"), std::string::npos) << lines[i + 2];
  }
  EXPECT_EQ(consoles, 1);
}

}  // namespace
