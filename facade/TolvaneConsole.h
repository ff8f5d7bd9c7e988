/* The console's one C-linkage entry point: what the C#, C++ and C facades call.
 *
 * Tolvane_TelnetServer_StartServer starts the process's diagnostic console with the default
 * telnet settings (telnet on, no password, remote clients admitted) on the low 16 bits of `port`
 * (65536 + 23 is 23; -1 is 65535). The first call creates the console, which then lives until the
 * process ends; a later call starts it again with a fresh configuration. Any thread may call it;
 * calls made at the same time run one after the other. */
#ifndef TOLVANE_CONSOLE_H
#define TOLVANE_CONSOLE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

__attribute__((visibility("default"))) void Tolvane_TelnetServer_StartServer(int32_t port);

#ifdef __cplusplus
}
#endif

#endif
