// libexample_legacy.so: an older module that only parses `dbg` arguments, for its one trace.
#include "modules/ModuleKit.h"

TTraceDescriptor g_trcLegacyFeed{u"LegacyFeed", 0};
TOLVANE_TRACE_TABLE(&g_trcLegacyFeed)

TOLVANE_EXPORT_PARSE_DEBUG_ARG()
