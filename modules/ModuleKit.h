// The module kit: what a shared object includes and links (target tolvane_modkit) to take part in
// the console of the process it is loaded into.
//
// A cooperating module
//   1. defines its traces and their table, in the order its listings show, in one source file:
//        TTraceDescriptor g_trcOrderBook{u"OrderBook", 0};    // name, starting level
//        TTraceDescriptor g_trcGateway{u"Gateway", 0};
//        TOLVANE_TRACE_TABLE(&g_trcOrderBook, &g_trcGateway)
//      (without a table the module has the library's own traces);
//   2. exports the six functions the console calls, in one line of the same or another file:
//        TOLVANE_MODULE_EXPORTS(&OnSpecificCommand)   // or nullptr: no commands of its own
//      or only some of them with the TOLVANE_EXPORT_* macros below;
//   3. prints through TConsole and tests its traces before it does:
//        if (TRACE_ON(g_trcGateway, 2)) TConsole::PrintLine(u"order %d rejected", id);
//
// What the console does with the exports: `dbg` hands its argument to Module_ParseDebugArgEx (or,
// when a module has none, Module_ParseDebugArg), which changes the levels and prints the answer;
// `specdbgcmd <module file name>|ALL key args...` calls Module_SpecificDebugCommand, which runs the
// module's handler; `time` and `currentmod` switch the module's time and module-name prefixes
// through Module_SetTimeStamp and Module_SetPrintCurrentMod; Module_SetConsoleListener gives the
// module the listener that carries its text to every telnet client (before every command and to
// every client that connects). Every string argument is UTF-16, valid only during the call and
// never null. The console calls the exports on its own thread, one module after the other; a
// module may print from inside them and from any thread of its own at any time.
//
// The library is built with hidden symbols: the module exports only these functions, and its
// copy of the kit (console state, trace table) stays its own.
#pragma once

#include <cstdint>

#include "modules/IConsoleListener.h"
#include "modules/TConsole.h"
#include "modules/TTraceRegistry.h"

// The handler of Module_SpecificDebugCommand: the key, then `count` arguments (`args` is null
// when count is 0). It prints its answer through TConsole.
using TModuleCommandHandler = void (*)(const char16_t* key, std::int32_t count, const char16_t* const* args);

namespace tolvane_kit {

// The module's own file name without directory (the name its listings show).
const char16_t* ModuleFileName();
// Module_ParseDebugArg's work: the module's own name and the argument.
std::int32_t ParseDebugArg(const char16_t* argument);
void SpecificDebugCommand(TModuleCommandHandler handler, const char16_t* key, std::int32_t count,
                          const char16_t* const* args);

}  // namespace tolvane_kit

#define TOLVANE_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

#define TOLVANE_EXPORT_PARSE_DEBUG_ARG_EX()                                                          \
  TOLVANE_MODULE_EXPORT std::int32_t Module_ParseDebugArgEx(const char16_t* name, const char16_t* arg) { \
    return TTraceRegistry::ParseDebugArg(name, arg);                                                 \
  }
#define TOLVANE_EXPORT_PARSE_DEBUG_ARG()                                                             \
  TOLVANE_MODULE_EXPORT std::int32_t Module_ParseDebugArg(const char16_t* arg) {                     \
    return tolvane_kit::ParseDebugArg(arg);                                                          \
  }
#define TOLVANE_EXPORT_SPECIFIC_DEBUG_COMMAND(handler)                                               \
  TOLVANE_MODULE_EXPORT void Module_SpecificDebugCommand(const char16_t* key, std::int32_t count,    \
                                                         const char16_t* const* args) {             \
    tolvane_kit::SpecificDebugCommand(handler, key, count, args);                                    \
  }
#define TOLVANE_EXPORT_SET_CONSOLE_LISTENER()                                                        \
  TOLVANE_MODULE_EXPORT void Module_SetConsoleListener(IConsoleListener* listener) {                 \
    TConsole::SetConsoleListener(listener);                                                          \
  }
#define TOLVANE_EXPORT_SET_TIME_STAMP()                                                              \
  TOLVANE_MODULE_EXPORT void Module_SetTimeStamp(std::int32_t on) { TConsole::SetPrintTimeStamp(on != 0); }
#define TOLVANE_EXPORT_SET_PRINT_CURRENT_MOD()                                                       \
  TOLVANE_MODULE_EXPORT void Module_SetPrintCurrentMod(std::int32_t on) { TConsole::SetPrintCurrentMod(on != 0); }

// All six exports; `handler` (may be nullptr) serves specdbgcmd.
#define TOLVANE_MODULE_EXPORTS(handler)      \
  TOLVANE_EXPORT_PARSE_DEBUG_ARG_EX()        \
  TOLVANE_EXPORT_PARSE_DEBUG_ARG()           \
  TOLVANE_EXPORT_SPECIFIC_DEBUG_COMMAND(handler) \
  TOLVANE_EXPORT_SET_CONSOLE_LISTENER()      \
  TOLVANE_EXPORT_SET_TIME_STAMP()            \
  TOLVANE_EXPORT_SET_PRINT_CURRENT_MOD()
