// The module's table of named traces and the `dbg` argument parser over it.
//
// A trace is a signed level that the module's code compares with a threshold (1, 2 or 3) before
// it prints a diagnostic line: TRACE_ON(g_trcMutex, 2). The check is one relaxed load and one
// comparison. Levels are changed by ParseDebugArg on the console's thread and read anywhere.
//
// Each module has its own table, fixed when it is built. The kit's default table holds the
// library's 23 traces; a module with traces of its own defines its table, in the order its
// listings show, in one of its source files:
//   TOLVANE_TRACE_TABLE(&g_trcMine, &g_trcOther)
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct TTraceDescriptor {
  constexpr TTraceDescriptor(const char16_t* name, std::int32_t level) : m_level(level), m_name(name) {}
  TTraceDescriptor(const TTraceDescriptor&) = delete;
  TTraceDescriptor& operator=(const TTraceDescriptor&) = delete;

  bool IsOn(std::int32_t threshold) const { return m_level.load(std::memory_order_relaxed) >= threshold; }

  std::atomic<std::int32_t> m_level;
  const char16_t* const m_name;
};

#define TRACE_ON(trace, threshold) ((trace).m_level.load(std::memory_order_relaxed) >= (threshold))

struct TTraceTable {
  TTraceDescriptor* const* items;  // may hold null slots, which every walk skips
  std::size_t count;
};

// The module's table. The kit's definition is weak; TOLVANE_TRACE_TABLE replaces it.
TTraceTable TolvaneModuleTraceTable();

#define TOLVANE_TRACE_TABLE(...)                                             \
  TTraceTable TolvaneModuleTraceTable() {                                    \
    static TTraceDescriptor* const items[] = {__VA_ARGS__};                  \
    return TTraceTable{items, sizeof(items) / sizeof(items[0])};             \
  }

class TTraceRegistry {
 public:
  // Applies a `dbg` argument: comma-separated trace names, each optionally followed by + and -
  // signs (the level changes by 1 plus the number of + minus the number of -), "?" for the full
  // listing, or CONSOLEDEBUGDELUXELIST for the listing that programs read. Prints its answers
  // through TConsole. 1 when handled; 0 when a name matched no trace, not even in part. A null
  // module name prints as a single space.
  static std::int32_t ParseDebugArg(const char16_t* moduleName, const char16_t* argument);
};
