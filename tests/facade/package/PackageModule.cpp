// A cooperating module built against the installed module kit: one trace and the six exports.
#include "modules/ModuleKit.h"

TTraceDescriptor g_trcPackage{u"PackageTrace", 0};
TOLVANE_TRACE_TABLE(&g_trcPackage)
TOLVANE_MODULE_EXPORTS(nullptr)
