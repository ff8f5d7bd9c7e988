// TTraceRegistry::ParseDebugArg over the executable's table and over two loaded modules' own.
#include "modules/TTraceRegistry.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "modules/LibraryTraces.h"
#include "modules/TConsole.h"
#include "tests/ConsoleCapture.h"
#include "tests/TestSupport.h"

namespace {

using Capture = testing_support::ConsoleCapture;
using testing_support::U16;

const std::vector<std::u16string> kLibraryTraces = {u"AsyncMOChannel", u"ChannelBuilder", u"winsock",
    u"MulticastAsync", u"IGMPv3", u"UdpChannelAsync", u"StreamChannel", u"SyncMOChannel", u"MulticastSocket",
    u"WinsockAsyncWatchdog", u"ConnectAsyncThread", u"Mutex", u"Semaphore", u"RendVousEx", u"TimerMgrEx",
    u"ActiveObjDeluxe", u"Debug", u"UserPrivilege", u"New", u"ActiveObj", u"TtcpServer", u"LogFile", u"Exception"};

using testing_support::IsTimePrefix;

// The listing layout: names three to a row, each left-aligned in `width` columns and a space.
std::u16string Listing(const std::u16string& module, const std::vector<std::u16string>& names, std::size_t width) {
  std::u16string out = u"\r\nAvailable debugging in " + module + u":";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i % 3 == 0) out += u"\r\n";
    out += names[i] + std::u16string(width - names[i].size(), u' ') + u" ";
  }
  return out + u"\r\n";
}

// Listens to the executable's console and puts every trace level back afterwards.
class TraceRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TConsole::SetConsoleListener(&m_capture);
    m_table = TolvaneModuleTraceTable();
    for (std::size_t i = 0; i < m_table.count; ++i) m_saved.push_back(m_table.items[i]->m_level.load());
  }
  void TearDown() override {
    TConsole::SetConsoleListener(nullptr);
    TConsole::SetPrintTimeStamp(false);
    for (std::size_t i = 0; i < m_table.count; ++i) m_table.items[i]->m_level.store(m_saved[i]);
  }
  // Parses on the executable's table and returns what was printed.
  std::u16string Parse(const char16_t* argument, std::int32_t expected, const char16_t* module = u"mod") {
    EXPECT_EQ(TTraceRegistry::ParseDebugArg(module, argument), expected);
    return m_capture.Text();
  }
  Capture m_capture;
  TTraceTable m_table{};
  std::vector<std::int32_t> m_saved;
};

TEST_F(TraceRegistryTest, NamedTraceStepsByItsSigns) {
  EXPECT_EQ(Parse(u"Mutex", 1), u"Debug: Mutex(1) in mod\r\n");
  EXPECT_TRUE(TRACE_ON(g_trcMutex, 1));
  EXPECT_FALSE(TRACE_ON(g_trcMutex, 2));
  EXPECT_EQ(Parse(u"mutex-", 1), u"Debug: Mutex(1) in mod\r\n");  // step 0: unchanged, still echoed
  EXPECT_EQ(Parse(u"mUTEX++x+", 1), u"Debug: Mutex(5) in mod\r\n");  // other characters after the sign are ignored
  EXPECT_EQ(Parse(u"MUTEX-----", 1, nullptr), u"Debug: Mutex(1) in  \r\n");  // null module name: one space
  EXPECT_EQ(Parse(u"mutex--", 1), u"Debug: Mutex(0) in mod\r\n");
  // Levels are not clamped.
  EXPECT_EQ(Parse(u"IGMPv3--", 1), u"Debug: IGMPv3(0) in mod\r\n");
  EXPECT_EQ(Parse(u"igmpv3--", 1), u"Debug: IGMPv3(-1) in mod\r\n");
  EXPECT_EQ(Parse(u"Semaphore+,,Winsock", 1), u"Debug: Semaphore(2) in mod\r\nDebug: winsock(1) in mod\r\n");
}

TEST_F(TraceRegistryTest, FullAndToolListingsWithTimePrefixes) {
  const std::u16string full = Listing(u"mod", kLibraryTraces, 24);
  EXPECT_EQ(Parse(u"Mutex,?,Semaphore", 1), u"Debug: Mutex(1) in mod\r\n" + full);
  EXPECT_EQ(Parse(u"?x,Mutex", 1), full);  // later tokens are not looked at
  EXPECT_EQ(g_trcMutex.m_level.load(), 1);
  EXPECT_EQ(g_trcSemaphore.m_level.load(), 0);

  std::u16string tool = u"CONSOLEDEBUGDELUXEHEADER\r\n";
  for (const std::u16string& name : kLibraryTraces) tool += name + u"\r\n";
  EXPECT_EQ(Parse(u"CONSOLEDEBUGDELUXELIST,Mutex", 1), tool + u"CONSOLEDEBUGDELUXEFOOTER\r\n");
  EXPECT_EQ(Parse(u"consoledebugdeluxelist", 0), u"");  // a trace name, and not even a near one

  TConsole::SetPrintTimeStamp(true);  // every print of a listing then carries the time prefix
  ASSERT_EQ(TTraceRegistry::ParseDebugArg(u"mod", u"?"), 1);
  std::vector<std::u16string> pieces = m_capture.Take();
  ASSERT_EQ(pieces.size(), 2u * (1 + 8 + 23 + 1));  // heading, row breaks, cells, end
  std::u16string text;
  for (std::size_t i = 0; i < pieces.size(); i += 2) {
    EXPECT_TRUE(IsTimePrefix(pieces[i])) << i;
    text += pieces[i + 1];
  }
  EXPECT_EQ(text, full);
}

TEST_F(TraceRegistryTest, NearMatchesMissesAndTheLengthLimit) {
  const std::u16string near = Listing(u"mod", {u"AsyncMOChannel", u"MulticastAsync", u"UdpChannelAsync",
                                                u"SyncMOChannel", u"WinsockAsyncWatchdog", u"ConnectAsyncThread"}, 40);
  EXPECT_EQ(Parse(u"SYNC++,Mutex", 1), near + u"Debug: Mutex(1) in mod\r\n");  // near names: no step
  EXPECT_EQ(Parse(u"NoSuchTrace,Mutex", 0), u"");  // stops at the miss
  for (std::size_t i = 0; i < m_table.count; ++i)
    EXPECT_EQ(m_table.items[i]->m_level.load(), m_saved[i] + (m_table.items[i] == &g_trcMutex ? 1 : 0));

  for (const char16_t* nothing : {u"", u",,,", static_cast<const char16_t*>(nullptr)})
    EXPECT_EQ(Parse(nothing, 1), u"");
  // The argument is cut at 1024 characters.
  std::u16string fits = std::u16string(1019, u',') + u"Mutex";
  EXPECT_EQ(Parse(fits.c_str(), 1), u"Debug: Mutex(2) in mod\r\n");
  std::u16string cut = u"," + fits;  // "Mutex" loses its last letter
  EXPECT_EQ(Parse(cut.c_str(), 1), Listing(u"mod", {u"Mutex"}, 40));
}

// The two test modules, loaded once for the whole run and never unloaded.
struct TestModule {
  explicit TestModule(const char* path) : handle(dlopen(path, RTLD_NOW | RTLD_LOCAL)), file(path) {}
  template <class Fn>
  Fn* Get(const char* name) const {
    return handle != nullptr ? reinterpret_cast<Fn*>(dlsym(handle, name)) : nullptr;
  }
  void* handle;
  std::filesystem::path file;
  void (*setListener)(IConsoleListener*) = Get<void(IConsoleListener*)>("ModuleSetListener");
  void (*print)(const char16_t*) = Get<void(const char16_t*)>("ModulePrint");
  void (*setPrintCurrentMod)(int) = Get<void(int)>("ModuleSetPrintCurrentMod");
  std::int32_t (*parse)(const char16_t*, const char16_t*) =
      Get<std::int32_t(const char16_t*, const char16_t*)>("ModuleParseDebugArg");
};

class TwoModulesTest : public TraceRegistryTest {
 protected:
  static TestModule& Alpha() { static TestModule m(TEST_MODULE_ALPHA); return m; }
  static TestModule& Beta() { static TestModule m(TEST_MODULE_BETA); return m; }
  void TearDown() override {
    for (TestModule* m : {&Alpha(), &Beta()})
      if (m->setListener != nullptr) m->setListener(nullptr);
    TraceRegistryTest::TearDown();
  }
  Capture m_alpha;
  Capture m_beta;
};

TEST_F(TwoModulesTest, EachModuleHasItsOwnConsoleAndTraces) {
  for (TestModule* m : {&Alpha(), &Beta()}) {
    ASSERT_NE(m->handle, nullptr) << dlerror();
    ASSERT_TRUE(m->setListener && m->print && m->setPrintCurrentMod && m->parse);
  }
  Alpha().setListener(&m_alpha);
  Beta().setListener(&m_beta);
  Beta().setPrintCurrentMod(1);
  Alpha().print(u"from alpha");
  Beta().print(u"from beta");
  TConsole::Print(u"from exe");
  Beta().setPrintCurrentMod(0);
  EXPECT_EQ(m_alpha.Take(), std::vector<std::u16string>{u"from alpha"});
  const std::u16string betaName = U16(Beta().file.filename().string() + " - ");  // over 64 characters
  EXPECT_EQ(m_beta.Take(), (std::vector<std::u16string>{betaName, u"from beta"}));
  EXPECT_EQ(m_capture.Take(), std::vector<std::u16string>{u"from exe"});

  EXPECT_EQ(Alpha().parse(u"alpha", u"Alpha"), 1);
  EXPECT_EQ(Alpha().parse(u"alpha", u"Mutex"), 0);  // not in alpha's table
  EXPECT_EQ(Beta().parse(u"beta", u"mutex"), 1);
  EXPECT_EQ(Parse(u"Alpha", 0), u"");
  EXPECT_EQ(g_trcMutex.m_level.load(), 0);  // the executable's copy
  EXPECT_EQ(Alpha().parse(u"alpha", u"alpha--"), 1);  // levels back, for a repeated run
  EXPECT_EQ(Beta().parse(u"beta", u"MUTEX--"), 1);
  EXPECT_EQ(m_alpha.Text(), u"Debug: Alpha(1) in alpha\r\nDebug: Alpha(0) in alpha\r\n");
  EXPECT_EQ(m_beta.Text(), u"Debug: Mutex(1) in beta\r\nDebug: Mutex(0) in beta\r\n");
  // Alpha's table, with its empty slot skipped; the layout written out.
  EXPECT_EQ(Alpha().parse(u"alpha", u"?"), 1);
  EXPECT_EQ(m_alpha.Text(),
            u"\r\nAvailable debugging in alpha:\r\n"
            u"Alpha                    Shared                   AlphaTwo                 \r\n"
            u"Omega                    \r\n");
}

}  // namespace
