// What the console library exports. The library is a shared object built with hidden symbols:
// only what carries TOLVANE_CONSOLE_API is reachable from a host that links it.
#pragma once

#define TOLVANE_CONSOLE_API __attribute__((visibility("default")))
#define TOLVANE_CONSOLE_PRIVATE __attribute__((visibility("hidden")))
