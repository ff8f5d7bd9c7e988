// The trace commands against the console's own traces and two cooperating modules loaded into
// the test process: dbg, specdbgcmd, the prefix switches, and modules that come and go.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "modules/bridge/TBackDoorsManagerImp.h"
#include "tests/console/ConsoleFixture.h"

namespace {

using testing_support::ConsoleFixture;
using testing_support::TcpTestClient;

const std::string kOwn = " in diagconsole_tests";
const std::string kFull = "libbridge_module_full.so";
const std::string kOwnList = "\r\nAvailable debugging in diagconsole_tests:\r\n";
const std::string kFullList = "\r\nAvailable debugging in " + kFull + ":\r\n";
const std::string kMarker = "'zz' is not recognized as a supported command.";
const std::string kDbgHelp =
    "Increases/decreases the level of a diagnostic trace\r\n \r\nSyntax:\r\n   dbg <trace name>+\r\n"
    "   dbg <trace name>-\r\n \r\nTo display all trace name: dbg ?\r\n \r\n";

// A listing cell: the name left-aligned in `width` columns, then one space.
std::string Cell(std::string name, std::size_t width) { return name.append(width - name.size(), ' ') + " "; }

void* Full() {
  static void* module = dlopen(BRIDGE_MODULE_FULL, RTLD_NOW);
  static void* plain = dlopen(BRIDGE_MODULE_PLAIN, RTLD_NOW);  // loaded after the full one, never unloaded
  return plain != nullptr ? module : nullptr;
}
void Call(const char* name) { reinterpret_cast<void (*)()>(dlsym(Full(), name))(); }

// Unregisters another handler from inside its call.
struct Handler : IBackDoorHandler {
  void OnBackDoor(std::int32_t count, const char16_t* const* args) override {
    seen.push_back(count > 0 ? args[0] : u"-");
    if (other != nullptr) TBackDoorsManagerImp::Instance().Unregister(other);
  }
  std::vector<std::u16string> seen;
  IBackDoorHandler* other = nullptr;
};

class TraceCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Full(), nullptr) << dlerror();
    ASSERT_NE(m_client = m_console.Connect(), nullptr);
  }
  // Runs the lines for the first connection (id 0) as the telnet server hands them on, then a
  // marker line; returns what the client got before the marker's answer. Typed lines would be
  // echoed while earlier output is still being written.
  std::string Exchange(const std::string& lines) {
    std::size_t mark = m_client->Mark(), start = 0;
    for (std::size_t end; (end = lines.find('\n', start)) != std::string::npos; start = end + 1)
      m_console.Console().OnCommandLine(0, TStringEx(lines.substr(start, end - start).c_str()));
    m_console.Console().OnCommandLine(0, TStringEx(lines.substr(start).c_str()));
    m_console.Console().OnCommandLine(0, u"zz");
    if (!m_client->WaitForText(kMarker, mark)) return "<no answer>";
    return m_client->Received().substr(mark, m_client->Received().find(kMarker, mark) - mark);
  }

  ConsoleFixture m_console;
  std::unique_ptr<TcpTestClient> m_client;
};

TEST_F(TraceCommands, AnswersInOrderAndRepliesOnlyToTheRequester) {
  Handler low, high;
  Handler* first = &low < &high ? &low : &high;
  first->other = first == &low ? &high : &low;
  for (Handler* handler : {&low, &high}) TBackDoorsManagerImp::Instance().Register(handler, u"k");
  auto other = m_console.Connect();
  ASSERT_NE(other, nullptr);
  struct Case {
    const char* line;
    std::vector<std::string> expected;  // in this order
    const char* absent;
  };
  const Case cases[] = {
      {"dbg", {kDbgHelp}, "Invalid"},
      {"dbg Mutex", {"Debug: Mutex(1)" + kOwn + "\r\n"}, "Invalid"},
      {"dbg BridgeTrace,bridgesocket+", {"Debug: BridgeTrace(1) in " + kFull, "Debug: BridgeSocket(2)"}, "Invalid"},
      // Names given apart by spaces make one token: "BridgeSocket- --" lowers by two.
      {"dbg BRIDGETRACE--,BridgeSocket- --", {"Debug: BridgeTrace(0)", "Debug: BridgeSocket(0)"}, "Invalid"},
      {"dbg mutex-- ?", {"Debug: Mutex(0)" + kOwn}, "Available"},
      {"dbg PlainOnly", {}, "Invalid"},  // only the module with Module_ParseDebugArg knows it
      {"dbg PlainOnly--", {}, "Invalid"},
      {"dbg Sock",
       {kFullList + Cell("BridgeSocket", 40) + "\r\n", kOwnList + Cell("winsock", 40) + Cell("MulticastSocket", 40)},
       "Debug:"},
      {"dbg Mutex,?", {"Debug: Mutex(1)" + kOwn + "\r\n" + kOwnList + Cell("AsyncMOChannel", 24)}, "Invalid"},
      {"dbg ?", {kFullList + Cell("BridgeTrace", 24) + Cell("BridgeSocket", 24) + "\r\n", kOwnList}, "Debug:"},
      {"dbg Mutex--\ndbg NoSuchTrace", {"Debug: Mutex(0)", "Invalid Debug name\r\n" + kDbgHelp}, "Available"},
      {"specdbgcmd libbridge_module_full.so key a b", {kFull + ": \r\nkey=[key] count=2 [a] [b]\r\n"}, "libdiag"},
      {"specdbgcmd LIBBRIDGE_module_full.SO key", {kFull + ": \r\nkey=[key] count=0 null\r\n"}, "libdiag"},
      {"specdbgcmd aLL k x", {"libdiagconsole.so.0: \r\n", kFull + ": \r\nkey=[k] count=1 [x]\r\n"}, "null"},
      {"specdbgcmd libbridge_module_plain.so k\nspecdbgcmd none.so k", {}, ": \r\n"},
      {"specdbgcmd libdiagconsole.so", {"  Bad usage, check proper syntax with 'help'\r\n"}, ": \r\n"},
  };
  for (const Case& c : cases) {
    std::string answer = Exchange(c.line);
    std::size_t at = 0;
    for (const std::string& text : c.expected)
      ASSERT_NE(at = answer.find(text, at), std::string::npos) << c.line << " lacks " << text << " in " << answer;
    EXPECT_EQ(answer.find(c.absent), std::string::npos) << c.line << ": " << answer;
  }
  // In address order; the handler removed by the first is not called.
  EXPECT_EQ(first->seen, std::vector<std::u16string>{u"x"});
  EXPECT_TRUE(first->other == &low ? low.seen.empty() : high.seen.empty());
  TBackDoorsManagerImp::Instance().Unregister(first);
  EXPECT_TRUE(other->WaitForText("  Bad usage, check proper syntax with 'help'\r\n"));
  EXPECT_EQ(other->Received().find("Invalid Debug name"), std::string::npos);
  // An empty argument arrives as an empty string (the dispatcher never makes one; a caller may).
  TStringExArray args;
  for (const char16_t* arg : {u"libbridge_module_full.so", u"key", u"", u"y"}) args.Add(arg);
  m_console.Console().SpecificDebugCommandInModules(args);
  EXPECT_TRUE(m_client->WaitForText("key=[key] count=2 [] [y]\r\n"));
}

TEST_F(TraceCommands, SwitchesFlipBeforeTheirLineAndReachTheModulesExceptThreadId) {
  // Prefix patterns in FitsPattern's terms.
  const char* const time = "##h##:##.### - ";
  // Command, line, prefix of the console's own line, prefix of the module's line while on.
  const char* const cases[][4] = {
      {"time", "Timestamp", time, time},
      {"currentmod", "CurrentModule", "libdiagconsole.so.0 - ", "libbridge_module_full.so - "},
      {"threadid", "Thread ID", "####+ - ", ""}};
  // Whether a whole line of text is the prefix pattern followed by rest.
  auto hasLine = [&](const std::string& text, const std::string& pattern, const std::string& rest) {
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
      std::string line = text.substr(at, end - at);
      if (line.size() >= rest.size() && line.compare(line.size() - rest.size(), rest.size(), rest) == 0 &&
          testing_support::FitsPattern(line.substr(0, line.size() - rest.size()), pattern))
        return true;
    }
    return false;
  };
  for (const auto& c : cases) {
    std::string on = Exchange(std::string(c[0]) + "\ndbg BridgeTrace");
    EXPECT_TRUE(hasLine(on, c[2], std::string(c[1]) + " print is enabled")) << on;
    EXPECT_TRUE(hasLine(on, c[3], "Debug: BridgeTrace(1) in " + kFull)) << on;
    std::string off = Exchange(std::string(c[0]) + "\ndbg BridgeTrace--");
    EXPECT_TRUE(hasLine(off, "", std::string(c[1]) + " print is disabled")) << off;
    EXPECT_TRUE(hasLine(off, "", "Debug: BridgeTrace(0) in " + kFull)) << off;
  }
}

TEST_F(TraceCommands, ModulesLoadedAndUnloadedWhileTheConsoleRuns) {
  // A copy under another name is a module of its own, loaded only now.
  testing_support::TempDir dir;
  const std::string late = dir.File("libbridge_late.so");
  std::filesystem::copy_file(BRIDGE_MODULE_FULL, late);
  void* handle = dlopen(late.c_str(), RTLD_NOW);
  ASSERT_NE(handle, nullptr) << dlerror();
  EXPECT_NE(Exchange("dbg BridgeTrace").find("Debug: BridgeTrace(1) in libbridge_late.so\r\n"), std::string::npos);
  // Typed: the full module holds the command while the late one is unloaded; the module list
  // keeps it loaded until the command ends, and it is not called afterwards.
  Call("BridgeArmHold");
  std::size_t mark = m_client->Mark();
  ASSERT_TRUE(m_client->Send("specdbgcmd all hold\r\n"));
  ASSERT_TRUE(testing_support::WaitFor(reinterpret_cast<bool (*)()>(dlsym(Full(), "BridgeHeld"))));
  dlclose(handle);
  Call("BridgeRelease");
  EXPECT_TRUE(m_client->WaitForText("libbridge_late.so: \r\nkey=[hold] count=0 null\r\n", mark));
  EXPECT_TRUE(testing_support::WaitFor([&] {
    void* still = dlopen(late.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    return still == nullptr || dlclose(still) != 0;
  }));
  std::string after = Exchange("specdbgcmd all again\ndbg BridgeTrace--");
  EXPECT_NE(after.find(kFull + ": \r\nkey=[again]"), std::string::npos) << after;
  EXPECT_NE(after.find("Debug: BridgeTrace(0) in " + kFull), std::string::npos) << after;
  EXPECT_EQ(after.find("libbridge_late"), std::string::npos) << after;
}

}  // namespace
