// A cooperating module for the console tests. Built twice, as test_module_alpha and
// test_module_beta; each copy links its own module kit, so each has its own console state and
// trace table. Alpha defines a small table of its own; beta keeps the kit's library traces.
#include <cstdint>

#include "modules/TConsole.h"
#include "modules/TTraceRegistry.h"

#define MODULE_EXPORT extern "C" __attribute__((visibility("default")))

#if defined(TEST_MODULE_ALPHA)
TTraceDescriptor g_trcAlpha{u"Alpha", 0};
TTraceDescriptor g_trcShared{u"Shared", 2};
TTraceDescriptor g_trcAlphaTwo{u"AlphaTwo", 0};
TTraceDescriptor g_trcOmega{u"Omega", -1};
// The empty slot is skipped by every walk.
TOLVANE_TRACE_TABLE(&g_trcAlpha, nullptr, &g_trcShared, &g_trcAlphaTwo, &g_trcOmega)
#elif !defined(TEST_MODULE_BETA)
#error "build with TEST_MODULE_ALPHA or TEST_MODULE_BETA"
#endif

MODULE_EXPORT void ModuleSetListener(IConsoleListener* listener) { TConsole::SetConsoleListener(listener); }
MODULE_EXPORT void ModulePrint(const char16_t* text) { TConsole::Print(u"%s", text); }
MODULE_EXPORT void ModuleSetPrintCurrentMod(int on) { TConsole::SetPrintCurrentMod(on != 0); }

MODULE_EXPORT std::int32_t ModuleParseDebugArg(const char16_t* name, const char16_t* arg) {
  return TTraceRegistry::ParseDebugArg(name, arg);
}

