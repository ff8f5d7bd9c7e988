/* A C host: starts the console through the C entry point, prints "started" and serves it until
 * its standard input ends; then it returns from main with the console still running. The C entry
 * point has no DefaultPort: its value is taken, as the other hosts take it, and left unused.
 *   c_host PORT DEFAULT_PORT */
#include <stdio.h>
#include <stdlib.h>

#include "facade/TolvaneConsole.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  Tolvane_TelnetServer_StartServer((int32_t)atoi(argv[1]));
  puts("started");
  fflush(stdout);
  while (getchar() != EOF) {
  }
  return 0;
}
