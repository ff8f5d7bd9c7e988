// A cooperating module for the console's bridge tests, built twice: bridge_module_full exports
// the whole Module_* family over a trace table of its own (and three controls for the tests);
// bridge_module_plain exports only Module_ParseDebugArg.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "modules/TConsole.h"
#include "modules/TTraceRegistry.h"

#define MODULE_EXPORT extern "C" __attribute__((visibility("default")))

#if defined(BRIDGE_MODULE_FULL)
TTraceDescriptor g_trcBridgeTrace{u"BridgeTrace", 0};
TTraceDescriptor g_trcBridgeSocket{u"BridgeSocket", 0};
TOLVANE_TRACE_TABLE(&g_trcBridgeTrace, &g_trcBridgeSocket)

namespace {
std::atomic<bool> g_holdArmed{false};
std::atomic<bool> g_held{false};
}  // namespace

MODULE_EXPORT std::int32_t Module_ParseDebugArgEx(const char16_t* name, const char16_t* argument) {
  return TTraceRegistry::ParseDebugArg(name, argument);
}

// Prints "key=[k] count=n [a] [b]" (" null" when no array came). The key "hold", once armed
// with BridgeArmHold, keeps the call until BridgeRelease (or ten seconds).
MODULE_EXPORT void Module_SpecificDebugCommand(const char16_t* key, std::int32_t count, const char16_t* const* args) {
  TConsole::Print(u"key=[%s] count=%d", key, count);
  for (std::int32_t i = 0; i < count; ++i) TConsole::Print(u" [%s]", args[i]);
  TConsole::PrintLine(u"%s", args == nullptr ? u" null" : u"");
  if (std::u16string(key) == u"hold" && g_holdArmed.exchange(false)) {
    g_held = true;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_held && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

MODULE_EXPORT void Module_SetConsoleListener(IConsoleListener* listener) { TConsole::SetConsoleListener(listener); }
MODULE_EXPORT void Module_SetTimeStamp(std::int32_t on) { TConsole::SetPrintTimeStamp(on != 0); }
MODULE_EXPORT void Module_SetPrintCurrentMod(std::int32_t on) { TConsole::SetPrintCurrentMod(on != 0); }

MODULE_EXPORT void BridgeArmHold() { g_holdArmed = true; }
MODULE_EXPORT bool BridgeHeld() { return g_held; }
MODULE_EXPORT void BridgeRelease() { g_held = false; }
#elif defined(BRIDGE_MODULE_PLAIN)
TTraceDescriptor g_trcPlainOnly{u"PlainOnly", 0};
TOLVANE_TRACE_TABLE(&g_trcPlainOnly)

MODULE_EXPORT std::int32_t Module_ParseDebugArg(const char16_t* argument) {
  return TTraceRegistry::ParseDebugArg(u"plain", argument);
}
#else
#error "build with BRIDGE_MODULE_FULL or BRIDGE_MODULE_PLAIN"
#endif
