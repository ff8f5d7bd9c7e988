// libexample_orders.so: a module with four traces and all six exports. While it is loaded a
// thread of its own prints, every second, one line at each level 1 to 3 of every trace whose
// level allows it; "specdbgcmd libexample_orders.so stats" prints its figures.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "modules/ModuleKit.h"

TTraceDescriptor g_trcOrderBook{u"OrderBook", 0};
TTraceDescriptor g_trcMatching{u"Matching", 0};
TTraceDescriptor g_trcGateway{u"Gateway", 0};
TTraceDescriptor g_trcPersistence{u"Persistence", 0};
TOLVANE_TRACE_TABLE(&g_trcOrderBook, &g_trcMatching, &g_trcGateway, &g_trcPersistence)

namespace {

std::atomic<std::uint64_t> g_ticks{0};
std::atomic<std::uint64_t> g_linesPrinted{0};

void PrintTraces(std::uint64_t tick) {
  static TTraceDescriptor* const traces[] = {&g_trcOrderBook, &g_trcMatching, &g_trcGateway, &g_trcPersistence};
  for (TTraceDescriptor* trace : traces) {
    for (int level = 1; level <= 3; ++level) {
      if (!trace->IsOn(level)) continue;
      TConsole::PrintLine(u"%s level %d: tick %u", trace->m_name, level, static_cast<std::uint32_t>(tick));
      ++g_linesPrinted;
    }
  }
}

// The module's worker: started when the module is loaded, ended and joined when it is unloaded.
class Ticker {
 public:
  Ticker() : m_thread([this] { Run(); }) {}
  ~Ticker() {
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> hold(m_lock);
    while (!m_wake.wait_for(hold, std::chrono::seconds(1), [this] { return m_stop; })) PrintTraces(++g_ticks);
  }

  std::mutex m_lock;
  std::condition_variable m_wake;
  bool m_stop = false;  // guarded by m_lock
  std::thread m_thread;
};

Ticker g_ticker;

void OnCommand(const char16_t* key, std::int32_t count, const char16_t* const* args) {
  (void)args;
  if (std::u16string(key) != u"stats") {
    TConsole::PrintLine(u"unknown command '%s': try stats", key);
    return;
  }
  TConsole::PrintLine(u"orders: ticks %u, trace lines printed %u, arguments given %d",
                      static_cast<std::uint32_t>(g_ticks.load()), static_cast<std::uint32_t>(g_linesPrinted.load()),
                      count);
  TConsole::PrintLine(u"orders: levels OrderBook %d, Matching %d, Gateway %d, Persistence %d",
                      g_trcOrderBook.m_level.load(), g_trcMatching.m_level.load(), g_trcGateway.m_level.load(),
                      g_trcPersistence.m_level.load());
}

}  // namespace

TOLVANE_MODULE_EXPORTS(&OnCommand)
