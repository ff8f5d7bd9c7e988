#include "modules/TTraceRegistry.h"

#include <string>

#include "modules/LibraryTraces.h"
#include "modules/TConsole.h"
#include "platform/CaseFold.h"

TTraceDescriptor g_trcAsyncMOChannel{u"AsyncMOChannel", 0};
TTraceDescriptor g_trcChannelBuilder{u"ChannelBuilder", 0};
TTraceDescriptor g_trcWinsock{u"winsock", 0};
TTraceDescriptor g_trcMulticastAsync{u"MulticastAsync", 0};
TTraceDescriptor g_trcIGMPv3{u"IGMPv3", 1};
TTraceDescriptor g_trcUdpChannelAsync{u"UdpChannelAsync", 0};
TTraceDescriptor g_trcStreamChannel{u"StreamChannel", 0};
TTraceDescriptor g_trcSyncMOChannel{u"SyncMOChannel", 0};
TTraceDescriptor g_trcMulticastSocket{u"MulticastSocket", 0};
TTraceDescriptor g_trcWinsockAsyncWatchdog{u"WinsockAsyncWatchdog", 0};
TTraceDescriptor g_trcConnectAsyncThread{u"ConnectAsyncThread", 0};
TTraceDescriptor g_trcMutex{u"Mutex", 0};
TTraceDescriptor g_trcSemaphore{u"Semaphore", 0};
TTraceDescriptor g_trcRendVousEx{u"RendVousEx", 0};
TTraceDescriptor g_trcTimerMgrEx{u"TimerMgrEx", 0};
TTraceDescriptor g_trcActiveObjDeluxe{u"ActiveObjDeluxe", 0};
TTraceDescriptor g_trcDebug{u"Debug", 0};
TTraceDescriptor g_trcUserPrivilege{u"UserPrivilege", 0};
TTraceDescriptor g_trcNew{u"New", 0};
TTraceDescriptor g_trcActiveObj{u"ActiveObj", 0};
TTraceDescriptor g_trcTtcpServer{u"TtcpServer", 0};
TTraceDescriptor g_trcLogFile{u"LogFile", 0};
TTraceDescriptor g_trcException{u"Exception", 0};

__attribute__((weak)) TTraceTable TolvaneModuleTraceTable() {
  static TTraceDescriptor* const items[] = {
      &g_trcAsyncMOChannel,  &g_trcChannelBuilder, &g_trcWinsock,         &g_trcMulticastAsync,
      &g_trcIGMPv3,          &g_trcUdpChannelAsync, &g_trcStreamChannel,  &g_trcSyncMOChannel,
      &g_trcMulticastSocket, &g_trcWinsockAsyncWatchdog, &g_trcConnectAsyncThread, &g_trcMutex,
      &g_trcSemaphore,       &g_trcRendVousEx,     &g_trcTimerMgrEx,      &g_trcActiveObjDeluxe,
      &g_trcDebug,           &g_trcUserPrivilege,  &g_trcNew,             &g_trcActiveObj,
      &g_trcTtcpServer,      &g_trcLogFile,        &g_trcException};
  return TTraceTable{items, sizeof(items) / sizeof(items[0])};
}

namespace {

constexpr std::size_t kMaxArgument = 1024;

std::u16string Folded(const std::u16string& text) {
  std::u16string out(text);
  platform::FoldCase(out.data(), out.size(), out.data());
  return out;
}

// Prints the names chosen by `shown`, three to a row, each left-aligned in `cell`.
template <class Shown>
void PrintListing(const char16_t* moduleName, const char16_t* cell, Shown shown) {
  TConsole::Print(u"\r\nAvailable debugging in %s:", moduleName);
  TTraceTable table = TolvaneModuleTraceTable();
  int printed = 0;
  for (std::size_t i = 0; i < table.count; ++i) {
    TTraceDescriptor* trace = table.items[i];
    if (trace == nullptr || !shown(*trace)) continue;
    if (printed++ % 3 == 0) TConsole::Print(u"\r\n");
    TConsole::Print(cell, trace->m_name);
  }
  TConsole::Print(u"\r\n");
}

void PrintToolListing() {
  TConsole::Print(u"CONSOLEDEBUGDELUXEHEADER\r\n");
  TTraceTable table = TolvaneModuleTraceTable();
  for (std::size_t i = 0; i < table.count; ++i)
    if (table.items[i] != nullptr) TConsole::Print(u"%s\r\n", table.items[i]->m_name);
  TConsole::Print(u"CONSOLEDEBUGDELUXEFOOTER\r\n");
}

}  // namespace

std::int32_t TTraceRegistry::ParseDebugArg(const char16_t* moduleName, const char16_t* argument) {
  const char16_t* shownName = moduleName != nullptr ? moduleName : u" ";
  std::u16string copy = argument != nullptr ? std::u16string(argument) : std::u16string();
  if (copy.size() > kMaxArgument) copy.resize(kMaxArgument);
  int nearMatches = 0;
  std::size_t start = 0;
  while (start < copy.size()) {
    std::size_t comma = copy.find(u',', start);
    std::u16string token = copy.substr(start, comma == std::u16string::npos ? std::u16string::npos : comma - start);
    start = comma == std::u16string::npos ? copy.size() : comma + 1;
    if (token.empty()) continue;
    if (token[0] == u'?') {
      PrintListing(shownName, u"%-24s ", [](const TTraceDescriptor&) { return true; });
      return 1;
    }
    if (token == u"CONSOLEDEBUGDELUXELIST") {
      PrintToolListing();
      return 1;
    }
    std::int32_t step = 1;
    std::size_t sign = token.find_first_of(u"+-");
    if (sign != std::u16string::npos) {
      for (std::size_t i = sign; i < token.size(); ++i) step += token[i] == u'+' ? 1 : token[i] == u'-' ? -1 : 0;
      token.resize(sign);
    }
    const std::u16string wanted = Folded(token);
    TTraceTable table = TolvaneModuleTraceTable();
    bool matched = false;
    for (std::size_t i = 0; i < table.count && !matched; ++i) {
      TTraceDescriptor* trace = table.items[i];
      if (trace == nullptr) continue;
      std::u16string name = Folded(trace->m_name);
      if (name == wanted) {
        std::int32_t level = trace->m_level.fetch_add(step, std::memory_order_relaxed) + step;
        TConsole::Print(u"Debug: %s(%d) in %s\r\n", trace->m_name, level, shownName);
        matched = true;
      } else if (name.find(wanted) != std::u16string::npos) {
        ++nearMatches;
      }
    }
    if (matched) continue;
    if (nearMatches == 0) return 0;
    PrintListing(shownName, u"%-40s ", [&](const TTraceDescriptor& trace) {
      return Folded(trace.m_name).find(wanted) != std::u16string::npos;
    });
  }
  return 1;
}
