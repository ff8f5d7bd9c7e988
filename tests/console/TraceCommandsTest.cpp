// The trace commands over loopback, against the console's own traces and two cooperating
// modules loaded into the test process: dbg, time, threadid, currentmod, specdbgcmd, and modules
// that come and go while the console runs.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <vector>

#include "modules/bridge/TBackDoorsManagerImp.h"
#include "tests/console/ConsoleFixture.h"

namespace {

using testing_support::ConsoleFixture;
using testing_support::TcpTestClient;
using testing_support::TempDir;
using testing_support::WaitFor;

const std::string kOwn = "diagconsole_tests";
const std::string kFull = "libbridge_module_full.so";
const std::string kMarker = "'zz' is not recognized as a supported command.";
const std::string kDbgHelp =
    "Increases/decreases the level of a diagnostic trace\r\n \r\nSyntax:\r\n   dbg <trace name>+\r\n"
    "   dbg <trace name>-\r\n \r\nTo display all trace name: dbg ?\r\n \r\n";

// A listing cell: the name left-aligned in `width` columns, then one space.
std::string Cell(std::string name, std::size_t width) {
  name.resize(width, ' ');
  return name + " ";
}

// Whether a line of the text begins with what the regular expression matches.
bool HasLine(const std::string& text, const std::string& regex) {
  return std::regex_search(text, std::regex("(^|\n)" + regex));
}

template <class T>
T Export(void* module, const char* name) {
  return reinterpret_cast<T>(dlsym(module, name));
}
using TraceLevel = std::int32_t (*)(const char16_t*);

// The two modules, loaded once for the whole test process and never unloaded.
struct BridgeModules {
  void* full = dlopen(BRIDGE_MODULE_FULL, RTLD_NOW | RTLD_LOCAL);
  void* plain = dlopen(BRIDGE_MODULE_PLAIN, RTLD_NOW | RTLD_LOCAL);
};
const BridgeModules& Modules() {
  static BridgeModules modules;
  return modules;
}

// Runs the lines for a connection as the telnet server hands them on, then a marker line, and
// returns the text the client received before the marker's answer. Typed bytes would be echoed
// while earlier output is still being written, so the lines do not go over the wire.
std::string Exchange(TDiagnosticServer& console, int id, TcpTestClient& client, const std::string& lines) {
  std::size_t mark = client.Mark();
  for (std::size_t start = 0; start <= lines.size();) {
    std::size_t end = std::min(lines.find('\n', start), lines.size());
    console.OnCommandLine(id, TStringEx(lines.substr(start, end - start).c_str()));
    start = end + 1;
  }
  console.OnCommandLine(id, u"zz");
  if (!client.WaitForText(kMarker, mark)) return "<no answer to " + lines + ">";
  return client.Received().substr(mark, client.Received().find(kMarker, mark) - mark);
}

class TraceCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Modules().full, nullptr) << dlerror();
    ASSERT_NE(Modules().plain, nullptr) << dlerror();
    m_client = m_console.Connect();
    ASSERT_NE(m_client, nullptr);
  }

  // The console is new: its first connection has id 0.
  std::string Exchange(const std::string& lines) { return ::Exchange(m_console.Console(), 0, *m_client, lines); }

  ConsoleFixture m_console;
  std::unique_ptr<TcpTestClient> m_client;
};

TEST_F(TraceCommands, DbgChangesListsAndRejects) {
  struct Case {
    const char* line;
    std::vector<std::string> expected;  // in this order
    const char* absent;
  };
  const std::string ownList = "\r\nAvailable debugging in " + kOwn + ":";
  const std::string fullList = "\r\nAvailable debugging in " + kFull + ":";
  const Case cases[] = {
      {"dbg", {kDbgHelp}, "Invalid"},
      {"dbg Mutex", {"Debug: Mutex(1) in " + kOwn + "\r\n"}, "Invalid"},
      {"dbg BridgeTrace,bridgesocket+", {"Debug: BridgeTrace(1) in " + kFull + "\r\n", "Debug: BridgeSocket(2) in " + kFull},
       "Invalid"},
      // Names given apart by spaces make one token: "BridgeSocket- --" lowers by two.
      {"dbg BRIDGETRACE--,BridgeSocket- --", {"Debug: BridgeTrace(0) in " + kFull, "Debug: BridgeSocket(0) in " + kFull},
       "Invalid"},
      {"dbg mutex+,Semaphore", {"Debug: Mutex(3) in " + kOwn, "Debug: Semaphore(1) in " + kOwn}, "Invalid"},
      {"dbg Mutex-- --,semaphore--", {"Debug: Mutex(0) in " + kOwn, "Debug: Semaphore(0) in " + kOwn}, "Invalid"},
      {"dbg Sock", {fullList + "\r\n" + Cell("BridgeSocket", 40) + "\r\n",
                    ownList + "\r\n" + Cell("winsock", 40) + Cell("MulticastSocket", 40)}, "Debug:"},
      {"dbg Mutex,?", {"Debug: Mutex(1) in " + kOwn + "\r\n" + ownList + "\r\n" + Cell("AsyncMOChannel", 24) + Cell("ChannelBuilder", 24)}, "Invalid"},
      {"dbg mutex-- ?", {"Debug: Mutex(0)"}, "Available"},
      {"dbg ?", {fullList + "\r\n" + Cell("BridgeTrace", 24) + Cell("BridgeSocket", 24) + "\r\n", ownList}, "Debug:"},
      {"dbg NoSuchTrace", {"Invalid Debug name\r\n" + kDbgHelp}, "Debug:"},
  };
  for (const Case& c : cases) {
    std::string answer = Exchange(c.line);
    std::size_t at = 0;
    for (const std::string& text : c.expected) {
      at = answer.find(text, at);
      ASSERT_NE(at, std::string::npos) << c.line << " lacks " << text << " in " << answer;
    }
    EXPECT_EQ(answer.find(c.absent), std::string::npos) << c.line << ": " << answer;
  }
}

TEST_F(TraceCommands, AModuleWithOnlyTheShortParseExportIsAsked) {
  auto level = Export<TraceLevel>(Modules().plain, "BridgeTraceLevel");
  EXPECT_EQ(Exchange("dbg PlainOnly+").find("Invalid"), std::string::npos);
  EXPECT_EQ(level(u"PlainOnly"), 2);
  EXPECT_EQ(Exchange("dbg plainonly---").find("Invalid"), std::string::npos);
  EXPECT_EQ(level(u"PlainOnly"), 0);
}

TEST_F(TraceCommands, SwitchesFlipAfterwardsAndReachTheModulesExceptThreadId) {
  struct Case {
    const char* command;
    const char* text;
    const char* ownPrefix;
    const char* modulePrefix;  // what the module's lines carry while the switch is on
  };
  const Case cases[] = {
      {"time", "Timestamp print is ", R"(\d\dh\d\d:\d\d\.\d{3} - )", R"(\d\dh\d\d:\d\d\.\d{3} - )"},
      {"currentmod", "CurrentModule print is ", R"(libdiagconsole\.so - )", R"(libbridge_module_full\.so - )"},
      {"threadid", "Thread ID print is ", R"(\d{5,} - )", ""},
  };
  for (const Case& c : cases) {
    std::string on = Exchange(std::string(c.command) + "\ndbg BridgeTrace");
    EXPECT_TRUE(HasLine(on, c.ownPrefix + std::string(c.text) + "enabled\r\n")) << on;
    EXPECT_TRUE(HasLine(on, c.modulePrefix + std::string("Debug: BridgeTrace\\(1\\)"))) << on;
    std::string off = Exchange(std::string(c.command) + "\ndbg BridgeTrace--");
    EXPECT_TRUE(HasLine(off, c.text + std::string("disabled\r\n"))) << off;
    EXPECT_TRUE(HasLine(off, "Debug: BridgeTrace\\(0\\)")) << off;
  }
}

// Records what it is given; optionally unregisters a handler from inside its call.
class RecordingHandler : public IBackDoorHandler {
 public:
  void OnBackDoor(std::int32_t count, const char16_t* const* args) override {
    calls.push_back(count);
    if (count > 0) lastFirst = args[0];
    if (unregisterOnCall != nullptr) TBackDoorsManagerImp::Instance().Unregister(unregisterOnCall);
  }
  std::vector<std::int32_t> calls;
  std::u16string lastFirst;
  IBackDoorHandler* unregisterOnCall = nullptr;
};

TEST_F(TraceCommands, SpecificDebugCommandReachesTheSelectedModules) {
  RecordingHandler handler;
  TBackDoorsManagerImp::Instance().Register(&handler, u"k");
  struct Case {
    const char* line;
    std::vector<std::string> expected;
    const char* absent;
  };
  const Case cases[] = {
      {"specdbgcmd libbridge_module_full.so key a b", {kFull + ": \r\nkey=[key] count=2 [a] [b]\r\n"}, "libdiagconsole"},
      {"specdbgcmd LIBBRIDGE_module_full.SO key", {kFull + ": \r\nkey=[key] count=0 null\r\n"}, "libdiagconsole"},
      {"specdbgcmd aLL k x", {"libdiagconsole.so: \r\n", kFull + ": \r\nkey=[k] count=1 [x]\r\n"}, "null"},
      {"specdbgcmd libbridge_module_plain.so k", {}, ": \r\n"},
      {"specdbgcmd nothing.so k", {}, ": \r\n"},
      {"specdbgcmd libdiagconsole.so", {"  Bad usage, check proper syntax with 'help'\r\n"}, ": \r\n"},
  };
  for (const Case& c : cases) {
    std::string answer = Exchange(c.line);
    std::size_t at = 0;
    for (const std::string& text : c.expected) {
      at = answer.find(text, at);
      ASSERT_NE(at, std::string::npos) << c.line << " lacks " << text << " in " << answer;
    }
    EXPECT_EQ(answer.find(c.absent), std::string::npos) << c.line << ": " << answer;
  }
  EXPECT_EQ(handler.calls, std::vector<std::int32_t>{1});
  EXPECT_EQ(handler.lastFirst, u"x");

  // Empty arguments arrive as empty strings (the dispatcher never makes one; a caller may).
  TStringExArray args;
  for (const char16_t* arg : {u"libbridge_module_full.so", u"key", u"", u"y"}) args.Add(arg);
  std::size_t mark = m_client->Mark();
  m_console.Console().SpecificDebugCommandInModules(args);
  EXPECT_TRUE(m_client->WaitForText("key=[key] count=2 [] [y]\r\n", mark));
  TBackDoorsManagerImp::Instance().Unregister(&handler);
}

TEST_F(TraceCommands, RepliesReachTheRequesterOnlyAndConsoleTextEveryone) {
  auto other = m_console.Connect();
  ASSERT_NE(other, nullptr);
  std::size_t mark = other->Mark();
  Exchange("dbg NoSuchTrace");
  Exchange("specdbgcmd one");
  EXPECT_TRUE(other->WaitForText("  Bad usage, check proper syntax with 'help'\r\n", mark));
  EXPECT_EQ(other->Received().find("Invalid Debug name", mark), std::string::npos);
}

TEST_F(TraceCommands, ModulesLoadedAndUnloadedWhileTheConsoleRuns) {
  // A copy under another name is a module of its own, loaded only now.
  TempDir dir;
  const std::string late = dir.File("libbridge_late.so");
  std::filesystem::copy_file(BRIDGE_MODULE_FULL, late);
  void* handle = dlopen(late.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  EXPECT_NE(Exchange("dbg BridgeTrace").find("Debug: BridgeTrace(1) in libbridge_late.so\r\n"),
            std::string::npos);

  // The first module holds the command while the late one is unloaded: the list keeps it loaded
  // until the command ends, and it is not called afterwards.
  Export<void (*)()>(Modules().full, "BridgeArmHold")();
  std::size_t mark = m_client->Mark();
  ASSERT_TRUE(m_client->Send("specdbgcmd all hold\r\n"));
  ASSERT_TRUE(WaitFor(Export<bool (*)()>(Modules().full, "BridgeHeld")));
  dlclose(handle);
  Export<void (*)()>(Modules().full, "BridgeRelease")();
  EXPECT_TRUE(m_client->WaitForText("libbridge_late.so: \r\nkey=[hold] count=0 null\r\n", mark));
  EXPECT_TRUE(WaitFor([&] {
    void* still = dlopen(late.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (still != nullptr) dlclose(still);
    return still == nullptr;
  }));
  std::string after = Exchange("specdbgcmd all again\ndbg BridgeTrace--");
  EXPECT_NE(after.find(kFull + ": \r\nkey=[again]"), std::string::npos) << after;
  EXPECT_EQ(after.find("libbridge_late"), std::string::npos) << after;
  EXPECT_EQ(Export<TraceLevel>(Modules().full, "BridgeTraceLevel")(u"BridgeTrace"), 0);
}

TEST(BackDoors, ExecuteRunsTheKeysHandlersInAddressOrder) {
  RecordingHandler handlers[3];
  auto& registry = TBackDoorsManagerImp::Instance();
  for (RecordingHandler& handler : handlers) registry.Register(&handler, u"other");
  registry.Register(&handlers[0], u"key");  // replaces its key
  registry.Register(&handlers[2], u"key");
  // The first handler removes the last one: the walk does not call it.
  handlers[0].unregisterOnCall = &handlers[2];
  const char16_t* args[] = {u"a"};
  registry.Execute(u"key", 1, args);
  registry.Execute(u"KEY", 1, args);
  registry.Execute(u"", 0, nullptr);
  EXPECT_EQ(handlers[0].calls, std::vector<std::int32_t>{1});
  EXPECT_TRUE(handlers[1].calls.empty());
  EXPECT_TRUE(handlers[2].calls.empty());
  for (RecordingHandler& handler : handlers) registry.Unregister(&handler);
}

}  // namespace
